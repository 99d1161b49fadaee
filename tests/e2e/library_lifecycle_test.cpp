// Kx4grdInit and Kx4grdCleanup through the exports only: installation on a clean
// machine, a driver that already runs, a second Kx4grdInit in the same host, every
// failure code, the notification thread, and nothing left behind.
#include <algorithm>
#include <atomic>

#include "tests/e2e/library_fixture.h"

namespace e2e {
namespace {

class LifecycleTest : public LibraryTest {};

TEST_F(LifecycleTest, FirstInitOnACleanMachineInstallsConfiguresStartsConnectsClearsAndReports) {
    ASSERT_FALSE(machine().RegKeyExists(kServiceKey));
    machine().ClearDebugOutput();
    ASSERT_EQ(Init(), 0);

    // Installed, with the five registry values, and started from the host's directory.
    EXPECT_TRUE(machine().RegKeyExists(kServiceKey));
    EXPECT_EQ(RegString(u"System\\CurrentControlSet\\Services\\kx4grd", u"ImagePath"),
              u"\\??\\C:\\Program Files\\kx4\\kx4grd_x64.sys");
    EXPECT_EQ(RegString(u"System\\CurrentControlSet\\Services\\kx4grd\\Instances", u"DefaultInstance"),
              u"kx4grdalttude");
    EXPECT_EQ(RegString(u"System\\CurrentControlSet\\Services\\kx4grd\\Instances\\kx4grdalttude", u"Altitude"),
              u"380830");
    uint32_t value = 99;
    EXPECT_TRUE(machine().RegGetDword(kInstanceKey, u"Flags", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(machine().RegGetDword(kParametersKey, u"DebugLevel", &value));
    EXPECT_EQ(value, 3u);
    EXPECT_TRUE(machine().RegGetDword(kParametersKey, u"ProcessCreate", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(machine().IsDriverLoaded(u"kx4grd"));

    // Connected once, CLEAR sent, START not.
    EXPECT_EQ(machine().PortConnectionCount(kPortName), 1u);
    EXPECT_EQ(machine().DebugCount(": CLEAR"), 1u);
    EXPECT_EQ(Globals.Started, 0);

    // The reporter: one thread, and the two volumes' CONNECT records reach the host.
    EXPECT_TRUE(ThreadCountIs(host_, 1)) << machine().UserThreadCount(host_);
    EXPECT_TRUE(machine().NamedObjectExists(kReportEvent));
    EXPECT_TRUE(machine().NamedObjectExists(kPresenceEvent));
    ASSERT_TRUE(WaitFor([] { return LineSink::Instance().Lines().size() >= 2; }));
    for (const std::u16string& line : LineSink::Instance().Lines()) {
        EXPECT_NE(line.find(u", CONNECT(1),"), std::u16string::npos) << Narrow(line);
    }

    EXPECT_EQ(Cleanup(), 0);
    // TearDown: no thread, handle, memory, service, named object; verifier clean.
}

TEST_F(LifecycleTest, CleanupStopsAndDeletesTheServiceAndLeavesNothing) {
    ASSERT_EQ(Init(), 0);
    const size_t handles = machine().UserHandleCount(host_);
    EXPECT_GT(handles, 0u);
    EXPECT_EQ(Cleanup(), 0);
    EXPECT_TRUE(ThreadsEnded(host_));
    EXPECT_EQ(machine().UserHandleCount(host_), 0u) << HandlesOf(host_);
    EXPECT_FALSE(machine().IsDriverLoaded(u"kx4grd"));
    EXPECT_FALSE(machine().RegKeyExists(kServiceKey));
    // Afterwards every export refuses, and a second cleanup only logs.
    INT result = 0;
    AsHost([&] { result = Kx4grdStartAndStop(1); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Cleanup(), 0);
}

TEST_F(LifecycleTest, ASecondHostFindsTheDriverRunningAndOnlyRewritesTheValues) {
    ASSERT_EQ(Init(), 0);
    // The first host ends without Kx4grdCleanup: its threads end and its handles
    // close with it, the service stays.
    ExitHost(host_);
    EXPECT_TRUE(machine().IsDriverLoaded(u"kx4grd"));
    EXPECT_EQ(machine().PortConnectionCount(kPortName), 0u);
    machine().RegSetDword(kParametersKey, u"DebugLevel", 1);
    machine().RegSetDword(kParametersKey, u"ProcessCreate", 1);
    machine().ClearDebugOutput();

    // A host elsewhere names another directory: the running service keeps its image.
    PutDriverFile(u"C:\\Other");
    PEPROCESS second = StartHost(u"C:\\Other\\agent.exe");
    ASSERT_EQ(Init(second, u"C:\\Other"), 0);
    EXPECT_EQ(machine().PortConnectionCount(kPortName), 1u);
    EXPECT_EQ(machine().DebugCount(": CLEAR"), 1u);
    uint32_t value = 0;
    EXPECT_TRUE(machine().RegGetDword(kParametersKey, u"DebugLevel", &value));
    EXPECT_EQ(value, 3u);
    EXPECT_TRUE(machine().RegGetDword(kParametersKey, u"ProcessCreate", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(RegString(u"System\\CurrentControlSet\\Services\\kx4grd", u"ImagePath"),
              u"\\??\\C:\\Program Files\\kx4\\kx4grd_x64.sys");
    EXPECT_TRUE(ThreadCountIs(second, 1)) << machine().UserThreadCount(second);
    EXPECT_EQ(Cleanup(second), 0);
}

TEST_F(LifecycleTest, ASecondInitInTheSameHostRetiresThePreviousInstanceWithoutTheDriverNoticing) {
    ASSERT_EQ(Init(), 0);
    ASSERT_TRUE(WaitFor([] { return LineSink::Instance().Lines().size() >= 2; }));
    INT result = -1;
    AsHost([&] { result = Kx4grdStartAndStop(1); });
    ASSERT_EQ(result, 0);
    ASSERT_EQ(Globals.Started, 1);
    const size_t handles = machine().UserHandleCount(host_);

    ASSERT_EQ(Init(), 0);
    // One reporter, one connection, the same handles as one instance holds, and the
    // driver never lost its last client (START stays on; the service was untouched).
    EXPECT_TRUE(ThreadCountIs(host_, 1)) << machine().UserThreadCount(host_);
    EXPECT_EQ(machine().PortConnectionCount(kPortName), 1u);
    EXPECT_EQ(machine().UserHandleCount(host_), handles) << HandlesOf(host_);
    EXPECT_EQ(Globals.Started, 1);
    EXPECT_TRUE(machine().IsDriverLoaded(u"kx4grd"));

    // The new instance works, and its reporter alone delivers the next records: a
    // volume that arrives now gives exactly one line.
    AsHost([&] { result = Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1); });
    EXPECT_EQ(result, 0);
    winsim::VolumeOptions f;
    f.kind = winsim::VolumeKind::UsbFlashDisk;
    f.dosName = u"F:";
    machine().AddVolume(f);
    auto linesForF = [] {
        const auto lines = LineSink::Instance().Lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::u16string& l) { return l.find(u", F:, ") != std::u16string::npos; });
    };
    EXPECT_TRUE(WaitFor([&] { return linesForF() >= 1; }));
    EXPECT_EQ(Cleanup(), 0);
    EXPECT_EQ(linesForF(), 1);
}

TEST_F(LifecycleTest, AnImagePathWithoutABackslashReturns99AndCreatesNothing) {
    PEPROCESS bare = StartHost(u"kx4host.exe");
    EXPECT_EQ(Init(bare), 99);
    EXPECT_EQ(machine().UserHandleCount(bare), 0u);
    EXPECT_FALSE(machine().RegKeyExists(kServiceKey));
    INT result = 0;
    AsHost(bare, [&] { result = Kx4grdSetDeviceProtect(1); });
    EXPECT_EQ(result, 1);
}

TEST_F(LifecycleTest, ANullDriverDirectoryIsRefusedWith1) {
    INT result = -1;
    AsHost([&] { result = Kx4grdInit(nullptr, &LineSink::Callback, 0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(machine().UserHandleCount(host_), 0u);
    EXPECT_FALSE(machine().RegKeyExists(kServiceKey));
}

// Each failure returns its code, has cleaned up (no thread, handle, memory,
// service: checked by TearDown) and leaves the exports refusing.
class InitFailureTest : public LibraryTest {
protected:
    void ExpectFailure(INT code) {
        EXPECT_EQ(Init(), code);
        EXPECT_TRUE(ThreadsEnded(host_));
        EXPECT_EQ(machine().UserHandleCount(host_), 0u) << HandlesOf(host_);
        INT result = 0;
        AsHost([&] { result = Kx4grdSetPolicy(BDC_USB_DISK, READONLY, 1); });
        EXPECT_EQ(result, 1);
        machine().ClearUserFaults();
    }
};

TEST_F(InitFailureTest, NoFilterLibraryOrRoutineOrPresenceEventIs102) {
    machine().FailUserCall(winsim::UserFault::LoadLibrary);
    ExpectFailure(102);
    machine().FailUserCall(winsim::UserFault::GetProcAddress, 3);
    ExpectFailure(102);
    machine().FailUserCall(winsim::UserFault::CreateEvent, 1);
    ExpectFailure(102);
}

TEST_F(InitFailureTest, AServiceThatCannotBeInstalledIs103) {
    // Without administrator rights neither the port nor the service manager opens.
    PEPROCESS user = StartHost(u"C:\\Program Files\\kx4\\user.exe", false);
    EXPECT_EQ(Init(user), 103);
    EXPECT_EQ(machine().UserHandleCount(user), 0u) << HandlesOf(user);
    EXPECT_TRUE(ThreadsEnded(user));
}

TEST_F(InitFailureTest, RegistryValuesThatCannotBeWrittenAfterInstallingAre104) {
    machine().FailUserCall(winsim::UserFault::RegSetValue, 1, 10);
    ExpectFailure(104);
    EXPECT_FALSE(machine().IsDriverLoaded(u"kx4grd")) << "the service must not have been started";
}

TEST_F(InitFailureTest, ARunningDriverWhoseValuesCannotBeRewrittenStillConnects) {
    ASSERT_EQ(Init(), 0);
    ExitHost(host_);
    PEPROCESS second = StartHost(u"C:\\Program Files\\kx4\\second.exe");
    machine().FailUserCall(winsim::UserFault::RegSetValue, 1, 10);
    EXPECT_EQ(Init(second), 0);
    machine().ClearUserFaults();
    EXPECT_EQ(Cleanup(second), 0);
}

TEST_F(InitFailureTest, AServiceThatDoesNotStartIs105) {
    // No driver file in the directory the host names.
    EXPECT_EQ(Init(host_, u"C:\\Empty"), 105);
    EXPECT_EQ(machine().UserHandleCount(host_), 0u) << HandlesOf(host_);
    EXPECT_FALSE(machine().IsDriverLoaded(u"kx4grd"));
}

TEST_F(InitFailureTest, APortThatStaysClosedAfterTheStartIs106) {
    machine().FailUserCall(winsim::UserFault::PortConnect, 1, 10);
    ExpectFailure(106);
    EXPECT_FALSE(machine().IsDriverLoaded(u"kx4grd"));
}

TEST_F(InitFailureTest, NoReportEventIs108) {
    machine().FailUserCall(winsim::UserFault::CreateEvent, 2);  // the first is the presence event
    ExpectFailure(108);
}

TEST_F(InitFailureTest, NoReporterThreadIs109) {
    machine().FailUserCall(winsim::UserFault::CreateThread, 1);
    ExpectFailure(109);
}

// "ProcessCreate" under HKLM "SOFTWARE\Test" starts the notification thread.
class NotificationThreadTest : public LibraryTest {};

TEST_F(NotificationThreadTest, OffOrAbsentStartsNone) {
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(ThreadCountIs(host_, 1)) << machine().UserThreadCount(host_);
    EXPECT_EQ(Cleanup(), 0);
    machine().RegSetDword(kTestKey, u"ProcessCreate", 0);
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(ThreadCountIs(host_, 1)) << machine().UserThreadCount(host_);
    EXPECT_EQ(Cleanup(), 0);
}

TEST_F(NotificationThreadTest, OnStartsExactlyOneThatEndsAtCleanup) {
    machine().RegSetDword(kTestKey, u"ProcessCreate", 1);
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(ThreadCountIs(host_, 2)) << machine().UserThreadCount(host_);
    EXPECT_EQ(Cleanup(), 0);
    EXPECT_TRUE(ThreadsEnded(host_));
}

TEST_F(NotificationThreadTest, ThreadThatCannotStartIsOnlyLogged) {
    machine().RegSetDword(kTestKey, u"ProcessCreate", 1);
    machine().FailUserCall(winsim::UserFault::CreateThread, 2);  // the first is the reporter's
    ASSERT_EQ(Init(), 0);
    EXPECT_TRUE(ThreadCountIs(host_, 1)) << machine().UserThreadCount(host_);
    EXPECT_EQ(Cleanup(), 0);
}

TEST_F(NotificationThreadTest, EndsAtCleanupAlsoWhenThePortClosesDuringItsPause) {
    machine().RegSetDword(kTestKey, u"ProcessCreate", 1);
    ASSERT_EQ(Init(), 0);
    // Messages keep the thread receiving and pausing 500 ms after each; the cleanup
    // closes the port a second later, inside one of those pauses.
    NOTIFY_MESSAGE body = {};
    body.processId = 500;
    const char16_t name[] = u"cmd.exe";
    std::copy(std::begin(name), std::end(name), reinterpret_cast<char16_t*>(body.processName));
    // A sender that does not terminate the path: the thread cuts it inside the field.
    std::fill(std::begin(body.processPath), std::end(body.processPath), WCHAR('p'));
    const uint32_t bodySize = KX_NOTIFY_MESSAGE_SIZE - sizeof(KX_MESSAGE_HEADER);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&body) + sizeof(KX_MESSAGE_HEADER);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(machine().PostPortMessage(kPortName, bytes, bodySize), 1u);
    }
    EXPECT_EQ(Cleanup(), 0);
    EXPECT_TRUE(ThreadsEnded(host_));
}

// Kx4grdCleanup from inside the host callback, on the reporter's own thread.
TEST_F(LifecycleTest, CleanupFromInsideTheCallbackDoesNotWaitForItself) {
    ASSERT_EQ(Init(), 0);
    ASSERT_TRUE(WaitFor([] { return LineSink::Instance().Lines().size() >= 2; }));
    std::atomic<int> cleanupResult{-1};
    std::atomic<int> callsAfterCleanup{0};
    std::atomic<bool> cleaned{false};
    LineSink::Instance().OnLine([&] {
        if (cleaned.exchange(true)) {
            ++callsAfterCleanup;
            return;
        }
        cleanupResult.store(Kx4grdCleanup());
    });
    // Two more volumes: two records in one fetch; the first line's callback cleans up.
    for (const char16_t* letter : {u"F:", u"G:"}) {
        winsim::VolumeOptions v;
        v.kind = winsim::VolumeKind::UsbFlashDisk;
        v.dosName = letter;
        machine().AddVolume(v);
    }
    ASSERT_TRUE(WaitFor([&] { return cleanupResult.load() == 0; }));
    // The reporter thread finishes on its own once the callback has returned.
    EXPECT_TRUE(WaitFor([&] { return machine().UserThreadCount(host_) == 0; }));
    EXPECT_EQ(callsAfterCleanup.load(), 0) << "no line after Kx4grdCleanup";
    EXPECT_EQ(machine().UserHandleCount(host_), 0u) << HandlesOf(host_);
    LineSink::Instance().OnLine(nullptr);
}

}  // namespace
}  // namespace e2e
