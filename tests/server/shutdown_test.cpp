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

// Wine 8's cross-process proxy of IClassFactory::LockServer is a stub that
// returns E_NOTIMPL without calling the server, so a client drives the lock
// count here through objects, which hold one lock each for their lifetime.
IUnknown* MakeObject(IClassFactory* factory)
{
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, IClassFactory_CreateInstance(factory, nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)));
    return object;
}

TEST_F(ServingProcess, EndsByItselfAfterItsLastObjectIsReleased)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);
    ASSERT_TRUE(server.valid());

    IUnknown* object = MakeObject(factory);
    ASSERT_NE(nullptr, object);
    EXPECT_FALSE(server.WaitForExit(2500, nullptr)) << "ended while an object was alive";
    IUnknown_Release(object);
    const double released = NowMs();
    // The class object is still held: that alone does not keep the server alive.
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode)) << "server still running";
    const double delay = NowMs() - released;
    std::printf("exit delay after the last release: %.0f ms (floor %.0f ms)\n", delay, kFloorMs);
    EXPECT_EQ(0u, exitCode);
    EXPECT_GE(delay, kShortestExitMs);
    IClassFactory_Release(factory);  // the server is gone; the proxy just lets go
}

TEST_F(ServingProcess, ANewObjectWithinTheIdleWindowKeepsItAliveUntilTheNextQuietWindow)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);

    IUnknown* first = MakeObject(factory);
    ASSERT_NE(nullptr, first);
    IUnknown_Release(first);
    Sleep(150);
    IUnknown* second = MakeObject(factory);
    ASSERT_NE(nullptr, second) << "the server ended within the idle window";
    // Well past the idle window and the pause: the live object keeps the server.
    EXPECT_FALSE(server.WaitForExit(3000, nullptr)) << "ended while an object was alive";
    IUnknown_Release(second);
    const double released = NowMs();
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode));
    const double delay = NowMs() - released;
    std::printf("exit delay after the second object's release: %.0f ms\n", delay);
    EXPECT_EQ(0u, exitCode);
    EXPECT_GE(delay, kShortestExitMs);
    IClassFactory_Release(factory);
}

TEST_F(ServingProcess, AnActivationForAnUnansweredInterfaceStillEndsTheServer)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);
    const IID unanswered = {0x0BADF00D, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* object = &object;
    EXPECT_EQ(E_NOINTERFACE, IClassFactory_CreateInstance(factory, nullptr, unanswered, &object));
    EXPECT_EQ(nullptr, object);
    DWORD exitCode = 1;
    ASSERT_TRUE(server.WaitForExit(kStuckAfterMs, &exitCode));
    EXPECT_EQ(0u, exitCode);
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
