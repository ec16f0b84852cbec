// The serving process end to end, started by the real COM runtime: it ends by
// itself after the last unlock and an idle window, and not before.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "guids.h"
#include "server_process.h"
#include "wine_test_support.h"

using namespace testing_support;

namespace {

const std::string kServer = WindowsPath(KELMO7_EXE);
const std::string kShortDeadlineServer = WindowsPath(KELMO7_SHORT_DEADLINE_EXE);
const std::string kHeldActivationServer = WindowsPath(KELMO7_HELD_ACTIVATION_EXE);
const char kServerImage[] = "Kelmo7.exe";
const char kShortDeadlineImage[] = "Kelmo7_short_deadline.exe";
const char kHeldActivationImage[] = "Kelmo7_held_activation.exe";

// Generous bounds only: these machines are noisy, so timings are printed and
// just checked for what the design rules out.
constexpr double kFloorMs = 1500;         // idle window plus the pause before teardown
constexpr double kShortestExitMs = 1300;  // below the floor: the window or the pause is missing

class ServingProcess : public ::testing::Test {
protected:
    explicit ServingProcess(const std::string& server = kServer, const char* image = kServerImage)
            : registration(CLSID_Kelmo, server), image_(image)
    {
    }
    void SetUp() override { ASSERT_EQ(S_OK, CoInitialize(nullptr)); }
    void TearDown() override { CoUninitialize(); }

    // Activates the class out of process and returns its class object and the
    // id of the server process that the COM runtime started for it.
    IClassFactory* Activate(DWORD* serverId)
    {
        const std::vector<DWORD> before = ProcessIdsNamed(image_);
        IClassFactory* factory = nullptr;
        const double start = NowMs();
        StepBound bound("the activation", kActivationBoundMs);
        const HRESULT hr = CoGetClassObject(CLSID_Kelmo, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory));
        EXPECT_EQ(S_OK, hr);
        std::printf("activation: %.0f ms\n", NowMs() - start);
        *serverId = WaitForNewProcess(image_, before, 5000);
        EXPECT_NE(0u, *serverId);
        return factory;
    }

    // Asks a new server for an object of iid, which it refuses with expected,
    // making nothing; the server then ends by itself. With objectFirst, an
    // object is made and released before.
    void ExpectRefusedActivationEndsTheServer(REFIID iid, HRESULT expected, bool objectFirst = false);

    LocalServerRegistration registration;
    const char* image_;
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

// One object made and released: the server is reached, and an idle window runs.
void MakeAndReleaseAnObject(IClassFactory* factory)
{
    IUnknown* object = MakeObject(factory);
    if (object != nullptr)
        IUnknown_Release(object);
}

// Waits for the server to end by itself; true when it did, with exit code 0.
bool EndsByItself(OwnedProcess& server)
{
    DWORD exitCode = 1;
    if (!server.WaitForExit(kStuckAfterMs, &exitCode))
        return false;
    EXPECT_EQ(0u, exitCode);
    return true;
}

// Releases the server's last object and returns how long the server then took
// to end by itself; -1 when it did not end.
double ExitDelayAfterReleasing(IUnknown* lastObject, OwnedProcess& server, const char* what)
{
    IUnknown_Release(lastObject);
    const double released = NowMs();
    if (!EndsByItself(server)) {
        ADD_FAILURE() << "server still running";
        return -1;
    }
    const double delay = NowMs() - released;
    std::printf("exit delay after releasing %s: %.0f ms (floor %.0f ms)\n", what, delay, kFloorMs);
    return delay;
}

void ServingProcess::ExpectRefusedActivationEndsTheServer(REFIID iid, HRESULT expected, bool objectFirst)
{
    DWORD serverId = 0;
    IClassFactory* factory = Activate(&serverId);
    ASSERT_NE(nullptr, factory);
    OwnedProcess server(serverId);
    if (objectFirst)
        MakeAndReleaseAnObject(factory);
    void* object = &object;
    EXPECT_EQ(expected, IClassFactory_CreateInstance(factory, nullptr, iid, &object));
    EXPECT_EQ(nullptr, object);
    ASSERT_TRUE(EndsByItself(server)) << "server still running";
    IClassFactory_Release(factory);
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
    // The class object is still held: that alone does not keep the server alive.
    EXPECT_GE(ExitDelayAfterReleasing(object, server, "the last object"), kShortestExitMs);
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
    EXPECT_GE(ExitDelayAfterReleasing(second, server, "the second object"), kShortestExitMs);
    IClassFactory_Release(factory);
}

TEST_F(ServingProcess, AnActivationForAnUnansweredInterfaceStillEndsTheServer)
{
    ExpectRefusedActivationEndsTheServer(kUnansweredInterface, E_NOINTERFACE);
}

// The test build that holds the activation that KELMO_HOLD_ACTIVATION names
// at its point, starts its shutdown monitor (with a 20 ms first-lock deadline)
// only then, and lets the activation go on once the monitor has decided.
class HeldActivation : public ServingProcess {
protected:
    HeldActivation() : ServingProcess(kHeldActivationServer, kHeldActivationImage) {}
    void TearDown() override
    {
        SetEnvironmentVariableA("KELMO_HOLD_ACTIVATION", nullptr);
        ServingProcess::TearDown();
    }
    // The COM runtime starts the server with this process's environment.
    static void HoldAt(const char* point, bool second)
    {
        SetEnvironmentVariableA("KELMO_HOLD_ACTIVATION", (std::string(point) + (second ? ":2" : "")).c_str());
    }
};

// Where the held activation meets the monitor's decision: at the first-lock
// deadline, when it is the first; at the end of the idle window after an
// object came and went, when it is the second.
struct Decision {
    const char* name;
    bool objectFirst;
};
const Decision kDecisions[] = {{"first-lock deadline", false}, {"idle window", true}};

// The monitor decides after the object is made and before its lock is taken:
// the activation completes, and the object keeps its server.
TEST_F(HeldActivation, AnObjectMadeAsTheServerDecidesKeepsItsServer)
{
    for (const Decision& decision : kDecisions) {
        SCOPED_TRACE(decision.name);
        HoldAt("unlocked", decision.objectFirst);
        DWORD serverId = 0;
        IClassFactory* factory = Activate(&serverId);
        ASSERT_NE(nullptr, factory);
        OwnedProcess server(serverId);
        if (decision.objectFirst)
            MakeAndReleaseAnObject(factory);

        IUnknown* object = MakeObject(factory);
        ASSERT_NE(nullptr, object);
        EXPECT_FALSE(server.WaitForExit(2500, nullptr)) << "ended while an object was alive";
        IDispatch* dispatch = nullptr;
        ASSERT_EQ(S_OK, IUnknown_QueryInterface(object, IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
        UINT count = 0;
        EXPECT_EQ(S_OK, IDispatch_GetTypeInfoCount(dispatch, &count));
        IDispatch_Release(dispatch);
        EXPECT_GE(ExitDelayAfterReleasing(object, server, "an object made as the server decided"), kShortestExitMs);
        IClassFactory_Release(factory);
    }
}

// The monitor decides before the activation asks: the server is closing, and
// the activation is refused with nothing made.
TEST_F(HeldActivation, AnActivationThatFindsTheServerClosingIsRefused)
{
    for (const Decision& decision : kDecisions) {
        SCOPED_TRACE(decision.name);
        HoldAt("arrived", decision.objectFirst);
        ExpectRefusedActivationEndsTheServer(IID_IUnknown, CO_E_SERVER_STOPPING, decision.objectFirst);
    }
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
