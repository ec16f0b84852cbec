// The allocation probe of test builds; nothing of it is in the program.
#include "allocation_probe.h"

#ifdef KELMO_ALLOCATION_PROBE

AllocationProbe allocationProbe;

bool AllocationProbeRefuses() { return InterlockedIncrement(&allocationProbe.attempts) == allocationProbe.failAt; }

void AllocationProbeStart()
{
    char text[16];
    const DWORD length = GetEnvironmentVariableA("KELMO_FAIL_ALLOCATION", text, sizeof(text));
    LONG failAt = 0;
    for (DWORD i = 0; i < length && i < sizeof(text) && text[i] >= '0' && text[i] <= '9'; ++i)
        failAt = failAt * 10 + (text[i] - '0');
    allocationProbe.failAt = failAt;
}

void AllocationProbeReport()
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KELMO_PROBE_REPORT", path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char digits[16];
    int count = 0;
    for (LONG n = allocationProbe.attempts; count == 0 || n != 0; n /= 10)
        digits[count++] = static_cast<char>('0' + n % 10);
    char text[16];
    for (int i = 0; i < count; ++i)
        text[i] = digits[count - 1 - i];
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(count), &written, nullptr);
    CloseHandle(file);
}

#endif
