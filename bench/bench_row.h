// One row of the benchmark table that `make bench` puts together from every
// benchmark's output: ours, the peer's figure, their ratio and the goal.
#pragma once

#include <cstdio>

// peer <= 0 means the peer has no figure; peerNote then says why.
inline void TableRow(const char* what, double ours, const char* unit, double peer, const char* peerNote,
                     const char* goal)
{
    if (peer > 0)
        std::printf("ROW|%s|%.3f %s|%.3f %s|%.3f|%s\n", what, ours, unit, peer, unit, ours / peer, goal);
    else
        std::printf("ROW|%s|%.3f %s|%s|-|%s\n", what, ours, unit, peerNote, goal);
}
