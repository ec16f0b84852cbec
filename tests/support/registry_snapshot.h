// A registry tree read into memory with the platform's registry functions, so
// that tests can compare what a run left behind with what was there before.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>

namespace testing_support {

struct RegistryValue {
    DWORD type = 0;
    std::string data;
    bool operator==(const RegistryValue& other) const { return type == other.type && data == other.data; }
};

// Key path (relative to the snapshot's root, "" for the root itself) to its
// values by name ("" for the default value). Key paths compare without case.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const { return lstrcmpiA(a.c_str(), b.c_str()) < 0; }
};
using RegistryTree =
    std::map<std::string, std::map<std::string, RegistryValue, CaseInsensitiveLess>, CaseInsensitiveLess>;

// Everything below root\path; empty when the key does not exist. view is 0
// for the process's own view of the registry, or KEY_WOW64_64KEY or
// KEY_WOW64_32KEY for the 64-bit or the 32-bit one. A key below that cannot
// be opened or read through throws std::runtime_error naming it, which fails
// the test that took the snapshot.
RegistryTree Snapshot(HKEY root, const std::string& path, REGSAM view = 0);

// Every key and value of a snapshot, one line each and in order, so that
// snapshots taken by different processes can be compared as text.
std::string Listing(const RegistryTree& tree);

// The differences between two snapshots, one line each, for a test's message.
std::string Differences(const RegistryTree& before, const RegistryTree& after);

// A REG_SZ value as the registry holds it, terminating zero included.
RegistryValue Text(const std::string& text);

}  // namespace testing_support
