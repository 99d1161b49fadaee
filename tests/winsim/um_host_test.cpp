// The host process: its module path, threads that run as it, its handle table
// with the verifier's leak report, process exit, and user-mode fault injection.
#include <atomic>

#include "tests/winsim/um_fixture.h"

using umtest::UmTest;
using winsim::UserFault;

namespace {

DWORD WINAPI ReportIds(LPVOID p) {
    auto* out = static_cast<DWORD*>(p);
    out[0] = GetCurrentProcessId();
    out[1] = GetCurrentThreadId();
    out[2] = static_cast<DWORD>(reinterpret_cast<uintptr_t>(PsGetCurrentProcessId()));
    return 42;
}

DWORD WINAPI WaitForever(LPVOID p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 7;
}

}  // namespace

TEST_F(UmTest, ModuleFileNameIsTheHostImagePathCutToTheBuffer) {
    AsHost([] {
        WCHAR path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        EXPECT_EQ(std::u16string(path), u"C:\\Program Files\\kx4\\agent.exe");
        EXPECT_EQ(n, 30u);
        WCHAR small[8];
        EXPECT_EQ(GetModuleFileNameW(nullptr, small, 8), 8u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(std::u16string(small), u"C:\\Prog");
    });
    // The process object carries the NT form of the same path.
    EXPECT_EQ(M().ProcessId(host_), M().ProcessId(M().FindProcess(M().ProcessId(host_))));
    // A thread that is not the host's has no module path.
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
}

TEST_F(UmTest, CreatedThreadsRunAsTheCreatingProcess) {
    AsHost([this] {
        DWORD ids[3] = {};
        DWORD reported = 0;
        HANDLE t = CreateThread(nullptr, 0, ReportIds, ids, 0, &reported);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 42u);
        EXPECT_EQ(ids[0], M().ProcessId(host_));
        EXPECT_EQ(ids[2], M().ProcessId(host_));
        EXPECT_EQ(ids[1], reported);
        EXPECT_NE(ids[1], GetCurrentThreadId());
        EXPECT_EQ(GetCurrentProcessId(), M().ProcessId(host_));
        EXPECT_TRUE(CloseHandle(t));
    });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(UmTest, HandlesLeftOpenAndThreadsStillRunningAreReportedUntilTheHostExits) {
    HANDLE event = nullptr;
    AsHost([&] {
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        HANDLE t = CreateThread(nullptr, 0, WaitForever, event, 0, nullptr);
        ASSERT_NE(t, nullptr);
    });
    EXPECT_EQ(M().UserHandleCount(host_), 2u);
    EXPECT_EQ(M().UserThreadCount(host_), 1u);
    EXPECT_EQ(ViolationsWith("user handle(s) left open by process " + std::to_string(M().ProcessId(host_))), 1u);
    EXPECT_EQ(ViolationsWith("1 user thread(s) still running"), 1u);
    // Handles belong to their process: the test's own thread cannot close it.
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Exit ends the waiting thread and closes what the host left open.
    M().ExitHost(host_);
    EXPECT_EQ(M().UserHandleCount(host_), 0u);
    EXPECT_EQ(M().UserThreadCount(host_), 0u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
    EXPECT_EQ(M().FindProcess(M().ProcessId(host_)), nullptr);
}

TEST_F(UmTest, ClosingTwiceFailsAndPseudoHandlesClose) {
    AsHost([] {
        HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_TRUE(CloseHandle(e));
        EXPECT_FALSE(CloseHandle(e));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
        SetLastError(1234);
        EXPECT_EQ(GetLastError(), 1234u);
    });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(UmTest, FaultInjectionFailsTheChosenCallsWithTheirErrors) {
    AsHost([this] {
        M().FailUserCall(UserFault::CreateEvent, 2);
        HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        HANDLE third = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(third, nullptr);
        CloseHandle(first);
        CloseHandle(third);

        M().FailUserCall(UserFault::CreateThread, 1);
        EXPECT_EQ(CreateThread(nullptr, 0, ReportIds, nullptr, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

        M().FailUserCall(UserFault::VirtualAlloc, 1, 1, 1455u);
        EXPECT_EQ(VirtualAlloc(nullptr, 100, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(1455u));

        M().FailUserCall(UserFault::LoadLibrary, 1);
        EXPECT_EQ(LoadLibraryW(WSTR("fltlib.dll")), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        HMODULE fltlib = LoadLibraryW(WSTR("fltlib.dll"));
        ASSERT_NE(fltlib, nullptr);
        M().FailUserCall(UserFault::GetProcAddress, 3);
        EXPECT_NE(GetProcAddress(fltlib, "FilterConnectCommunicationPort"), nullptr);
        EXPECT_NE(GetProcAddress(fltlib, "FilterSendMessage"), nullptr);
        EXPECT_EQ(GetProcAddress(fltlib, "FilterReplyMessage"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        EXPECT_NE(GetProcAddress(fltlib, "FilterGetMessage"), nullptr);
        EXPECT_TRUE(FreeLibrary(fltlib));

        M().FailUserCall(UserFault::PortConnect, 1);
        HANDLE port = nullptr;
        EXPECT_EQ(FilterConnectCommunicationPort(WSTR("\\nothing"), 0, nullptr, 0, nullptr, &port),
                  HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    });
    EXPECT_EQ(M().UserCallsSeen(UserFault::CreateEvent), 3u);
    EXPECT_EQ(M().UserCallsSeen(UserFault::GetProcAddress), 4u);
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(UmTest, VirtualAllocGivesZeroedPagesAndReportsRegionsNotReleased) {
    AsHost([this] {
        auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 5000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
        EXPECT_EQ(p[0] | p[8191], 0);
        p[8191] = 1;  // the size is rounded up to whole pages
        EXPECT_FALSE(VirtualFree(p, 5000, MEM_RELEASE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(M().UserMemoryRegions(host_), 1u);
        EXPECT_EQ(ViolationsWith("VirtualAlloc region(s) (8192 bytes) not released"), 1u);
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
        EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
    });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(UmTest, TheHostFileOfAWindowsPathIsUnderItsVolume) {
    EXPECT_EQ(KxHostFilePath("C:\\Program Files\\kx4\\kx4local.conf"),
              volume_.hostDir + "/Program Files/kx4/kx4local.conf");
    EXPECT_EQ(M().HostFilePath(u"c:\\a.txt"), volume_.hostDir + "/a.txt");
    // A drive with no volume, and a relative path, stay as they are.
    EXPECT_EQ(KxHostFilePath("Q:\\x"), "Q:\\x");
    EXPECT_EQ(KxHostFilePath("x.log"), "x.log");
}
