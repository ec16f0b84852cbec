// The engine built with the allocation probe: after every run, successful or
// failed, every block it took from the module allocator and the task
// allocator has been given back, also when an allocation fails.
#include <gtest/gtest.h>

#include <string>

#include "allocation_probe.h"
#include "script_test_support.h"
#include "server_module.h"

namespace {

using namespace script_test;

struct LiveBlocks {
    LONG module;
    LONG task;
};

LiveBlocks Live() { return {allocationProbe.liveModuleBlocks, allocationProbe.liveTaskBlocks}; }

DWORD WINAPI ShortNameThatDoesNotFit(LPCSTR, LPSTR, DWORD size) { return size + 40; }

class Balance : public ScriptOnRegistry {
protected:
    static void ExpectBalanced(const LiveBlocks& before, const std::string& what)
    {
        EXPECT_EQ(before.module, allocationProbe.liveModuleBlocks) << what;
        EXPECT_EQ(before.task, allocationProbe.liveTaskBlocks) << what;
    }
    const ModulePathSource self_ = {GetModuleHandleA(nullptr), GetShortPathNameA};
};

TEST_F(Balance, EveryRunGivesBackWhatItTook)
{
    const LiveBlocks before = Live();
    const std::string deep = [] {
        std::string chain = "Chain";
        for (int i = 0; i < 600; ++i)
            chain += " { K";
        return chain;
    }();
    const struct {
        std::string body;
        HRESULT expected;
    } runs[] = {
        {"Key = s '%Module%' { val V = d 7 Bin = b 0a0B }", S_OK},
        {"Key = s '%Unknown%'", DISP_E_EXCEPTION},
        {"Key = s '%" + std::string(32, 'n') + "%'", E_FAIL},
        {"Key = s 'unterminated", DISP_E_EXCEPTION},
        {"Key = s " + std::string(5000, 't'), DISP_E_EXCEPTION},
        {"Made 'bad\\name'", DISP_E_EXCEPTION},
        {"Made = q x", DISP_E_EXCEPTION},
        {"Made = b ABC", E_FAIL},
        {"Made = d notanumber", S_OK},
        {deep, DISP_E_EXCEPTION},
    };
    const Pairs pairs = {{L"Module", L"C:\\Kelmo7.exe"}, {L"N" + std::wstring(31, L'n'), L"long"}};
    for (const auto& run : runs) {
        for (BOOL registering : {TRUE, FALSE}) {
            const HRESULT hr = RunText(Under(scratch_, run.body), registering, pairs);
            if (registering) {
                EXPECT_EQ(run.expected, hr) << run.body.substr(0, 60);
            }
            ExpectBalanced(before, run.body.substr(0, 60));
        }
    }
    // Ended inside a block, blank, empty.
    for (const std::string& text : {Under(scratch_, "X").substr(0, 40), std::string(" \r\n"), std::string()}) {
        RunText(text, TRUE);
        ExpectBalanced(before, text);
    }
    // From this program's resources, found and missing; a short name that does not fit.
    for (WORD id : {200, 201, 202, 203, 204, 205, 299}) {
        for (BOOL registering : {TRUE, FALSE}) {
            ApplyResource(self_, id, registering);
            ExpectBalanced(before, "resource " + std::to_string(id));
        }
    }
    EXPECT_EQ(E_OUTOFMEMORY, ApplyResource({nullptr, ShortNameThatDoesNotFit}, 203, TRUE));
    ExpectBalanced(before, "short name");
    // Extra pairs beyond the map's first capacity.
    std::vector<std::wstring> names;
    for (int i = 0; i < 30; ++i)
        names.push_back(L"Extra" + std::to_wstring(i));
    std::vector<ScriptVariable> extra;
    for (const std::wstring& name : names)
        extra.push_back({name.c_str(), L"value"});
    const std::wstring leaf = Leaf();
    extra.push_back({L"Scratch", leaf.c_str()});
    extra.push_back({nullptr, nullptr});
    EXPECT_EQ(S_OK, ApplyScriptResourceFrom(self_, 203, TRUE, extra.data()));
    ExpectBalanced(before, "extra pairs");
}

// Fails the first, second, third... allocation of a run until a run no longer
// reaches the failing one. Each run must fail cleanly or succeed.
template <typename Run>
int FailEachAllocationInTurn(Run run, HRESULT success)
{
    int outOfMemory = 0;
    for (LONG k = 1;; ++k) {
        const LiveBlocks before = Live();
        allocationProbe.failAt = allocationProbe.attempts + k;
        const HRESULT hr = run();
        const bool reached = allocationProbe.attempts >= allocationProbe.failAt;
        allocationProbe.failAt = 0;
        EXPECT_EQ(before.module, allocationProbe.liveModuleBlocks) << "allocation " << k;
        EXPECT_EQ(before.task, allocationProbe.liveTaskBlocks) << "allocation " << k;
        if (!reached) {
            EXPECT_EQ(success, hr);
            return outOfMemory;
        }
        // A pair that could not be added is absent: a script naming it fails,
        // one that does not name it succeeds.
        EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY || hr == DISP_E_EXCEPTION)
            << "allocation " << k << ": " << std::hex << hr;
        outOfMemory += hr == E_OUTOFMEMORY;
        if (k > 200) {
            ADD_FAILURE() << "a run of this script should not allocate this often";
            return outOfMemory;
        }
    }
}

TEST_F(Balance, FailedAllocationsAreReportedAndLeaveNothingBehind)
{
    // Out of memory: the map's array, the terminated copy of the resource, the
    // expansion buffer, the undo journal. A pair that fails only makes its
    // variable absent.
    const int fromResource = FailEachAllocationInTurn([&] { return ApplyResource(self_, 203, TRUE); }, S_OK);
    EXPECT_EQ(4, fromResource);
    EXPECT_TRUE(Exists("Server\\LocalServer32"));
    ASSERT_EQ(S_OK, ApplyResource(self_, 203, FALSE));

    // The expansion buffer's growth, and the map's beyond its first ten pairs.
    Pairs pairs;
    for (int i = 0; i < 10; ++i)
        pairs.push_back({L"Unused" + std::to_wstring(i), L"u"});
    pairs.push_back({L"V", std::wstring(3000, L'v')});
    const std::string body = "A = s '%V%' B = s '%V%' C = s '%V%'";
    const int fromText = FailEachAllocationInTurn([&] { return RunText(Under(scratch_, body), TRUE, pairs); }, S_OK);
    EXPECT_GE(fromText, 4);  // the map, the expansion buffer, two growths at least
    for (const char* key : {"C", "B", "A"})
        EXPECT_EQ(3001u, Raw(key).data.size()) << key;
}

}  // namespace
