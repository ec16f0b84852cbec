// parallel_client ROUNDS: activates the server ROUNDS times one after another,
// reaches the hosted component, releases it and waits for its server process
// to end by itself. Prints one line per round:
//   round N server PID created CREATIONTIME exit-delay MS exit-code CODE
// and exits with the number of rounds that went wrong.
//
// Activation requests are made one at a time across all clients, while the
// servers they start run side by side: under Wine 8, two activations in
// flight at once can both take the single-use class object of the server that
// registered first; the later one then fails with E_NOINTERFACE and the other
// server is never reached.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>

#include "KelmoHosted.h"
#include "guids.h"

// Eight activations one at a time take about 9 s here; one client's turn not
// coming for this long means another is stuck in its activation.
constexpr DWORD kTurnBoundMs = 120000;

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    CoInitialize(nullptr);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    HANDLE activating = CreateMutexA(nullptr, FALSE, "KelmoParallelClientsActivation");
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        IKelmoHosted* hosted = nullptr;
        IUnknown* host = nullptr;
        const char* step = "wait for the other clients' activations";
        // An abandoned mutex is owned all the same: its client ended mid-activation.
        HRESULT hr =
            WaitForSingleObject(activating, kTurnBoundMs) == WAIT_TIMEOUT ? HRESULT_FROM_WIN32(WAIT_TIMEOUT) : S_OK;
        if (SUCCEEDED(hr)) {
            step = "activation";
            hr = CoCreateInstance(CLSID_Kelmo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&host));
            ReleaseMutex(activating);
        }
        if (SUCCEEDED(hr)) {
            step = "query for the hosted interface";
            hr = IUnknown_QueryInterface(host, IID_IKelmoHosted, reinterpret_cast<void**>(&hosted));
        }
        LONG serverId = 0;
        if (SUCCEEDED(hr)) {
            step = "call";
            hr = IKelmoHosted_get_ProcessId(hosted, &serverId);
        }
        if (FAILED(hr)) {
            std::printf("round %d failed in the %s: 0x%08lX\n", round, step, static_cast<unsigned long>(hr));
            ++failures;
            if (host != nullptr)
                IUnknown_Release(host);
            continue;
        }
        HANDLE server = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(serverId));
        FILETIME created = {}, ignored;
        if (server != nullptr)
            GetProcessTimes(server, &created, &ignored, &ignored, &ignored);
        IKelmoHosted_Release(hosted);
        IUnknown_Release(host);
        LARGE_INTEGER released, ended;
        QueryPerformanceCounter(&released);
        DWORD exitCode = MAXDWORD;
        const bool ended_ = server != nullptr && WaitForSingleObject(server, 60000) == WAIT_OBJECT_0;
        QueryPerformanceCounter(&ended);
        if (ended_)
            GetExitCodeProcess(server, &exitCode);
        const double delay =
            1000.0 * static_cast<double>(ended.QuadPart - released.QuadPart) / static_cast<double>(frequency.QuadPart);
        std::printf("round %d server %ld created %lu%08lu exit-delay %.0f exit-code %lu\n", round,
                    static_cast<long>(serverId), created.dwHighDateTime, created.dwLowDateTime, ended_ ? delay : -1.0,
                    exitCode);
        if (!ended_ || exitCode != 0)
            ++failures;
        if (server != nullptr)
            CloseHandle(server);
    }
    std::fflush(stdout);
    CloseHandle(activating);
    CoUninitialize();
    return failures;
}
