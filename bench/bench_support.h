// What every benchmark shares: medians, the rows of the one table that
// `make bench` puts together from their output, and writing its input files.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One row: ours, the peer's figure, their ratio and the goal.
// peer <= 0 means the peer has no figure; peerNote then says why.
inline void TableRow(const char* what, double ours, const char* unit, double peer, const char* peerNote,
                     const char* goal)
{
    if (peer > 0)
        std::printf("ROW|%s|%.3f %s|%.3f %s|%.3f|%s\n", what, ours, unit, peer, unit, ours / peer, goal);
    else
        std::printf("ROW|%s|%.3f %s|%s|-|%s\n", what, ours, unit, peerNote, goal);
}

// Writes text to path as it stands (no line-end translation).
inline bool WriteFileText(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}
