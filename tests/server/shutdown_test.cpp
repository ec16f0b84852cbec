// The serving process end to end, started by the real COM runtime: it ends by
// itself after the last unlock and an idle window, and not before.
#include <gtest/gtest.h>

#include <cstdio>

#include "guids.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kServer = WindowsPath(KELMO7_EXE);
const std::string kShortDeadlineServer = WindowsPath(KELMO7_SHORT_DEADLINE_EXE);
const char kServerImage[] = "Kelmo7.exe";
const char kShortDeadlineImage[] = "Kelmo7_short_deadline.exe";

// Generous bounds only: these machines are noisy, so timings are printed and
// just checked for what the design rules out.
constexpr double kFloorMs = 1500;         // idle window plus the pause before teardown
constexpr double kShortestExitMs = 1300;  // below the floor: the window or the pause is missing
constexpr DWORD kStuckAfterMs = 20000;

class ServingProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitialize(nullptr)); }
    void TearDown() override { CoUninitialize(); }

    // Activates the class out of process and returns its class object and the
    // id of the server process that the COM runtime started for it.
    IClassFactory* Activate(DWORD* serverId)
    {
        const std::vector<DWORD> before = ProcessIdsNamed(kServerImage);
        IClassFactory* factory = nullptr;
        const double start = NowMs();
        const HRESULT hr = CoGetClassObject(CLSID_Kelmo, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory));
        EXPECT_EQ(S_OK, hr);
        std::printf("activation: %.0f ms\n", NowMs() - start);
        *serverId = WaitForNewProcess(kServerImage, before, 5000);
        EXPECT_NE(0u, *serverId);
        return factory;
    }

    LocalServerRegistration registration{CLSID_Kelmo, kServer};
};

TEST_F(ServingProcess, EndsByItselfAfterALockServerRoundTrip)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);
    ASSERT_TRUE(server.valid());

    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    const double unlocked = NowMs();
    // The class object is still held: that alone does not keep the server alive.
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode)) << "server still running";
    const double delay = NowMs() - unlocked;
    std::printf("exit delay after the last unlock: %.0f ms (floor %.0f ms)\n", delay, kFloorMs);
    EXPECT_EQ(0u, exitCode);
    EXPECT_GE(delay, kShortestExitMs);
    IClassFactory_Release(factory);  // the server is gone; the proxy just lets go
}

TEST_F(ServingProcess, ARelockWithinTheIdleWindowKeepsItAliveUntilTheNextQuietWindow)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);

    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    Sleep(150);
    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, TRUE));
    // Well past the idle window and the pause: the held lock keeps the server.
    EXPECT_FALSE(server.WaitForExit(3000, nullptr)) << "ended while a lock was held";
    ASSERT_EQ(S_OK, IClassFactory_LockServer(factory, FALSE));
    const double unlocked = NowMs();
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode));
    const double delay = NowMs() - unlocked;
    std::printf("exit delay after the relocked server's last unlock: %.0f ms\n", delay);
    EXPECT_EQ(0u, exitCode);
    EXPECT_GE(delay, kShortestExitMs);
    IClassFactory_Release(factory);
}

// A serving process that nobody reaches ends once the first-lock deadline has
// passed; this test build has it shortened to 1.5 s.
TEST(FirstLockDeadline, EndsAServerThatNobodyReached)
{
    for (const char* tail : {"", " /RegServer /s", " -Embedding"}) {
        const std::vector<DWORD> before = ProcessIdsNamed(kShortDeadlineImage);
        const double start = NowMs();
        const ProcessResult result = RunProcess(kShortDeadlineServer + tail, kStuckAfterMs);
        const double elapsed = NowMs() - start;
        std::printf("unreached server with \"%s\" ended after %.0f ms\n", tail, elapsed);
        ASSERT_TRUE(result.started);
        EXPECT_TRUE(result.finished) << "still serving after " << kStuckAfterMs << " ms";
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_GE(elapsed, 1500 + 1000 - 200);  // the deadline plus the pause
    }
}

}  // namespace
