// Events shared with the kernel's named objects, waits, and Sleep on the driven
// clock with the host's threads taking part cooperatively.
#include <chrono>

#include "tests/winsim/um_fixture.h"

using umtest::UmTest;

namespace {

const std::u16string kKernelName = u"\\BaseNamedObjects\\UmEventsTest";

struct KernelEvent {
    HANDLE handle = nullptr;
    PKEVENT event = nullptr;
};

KernelEvent CreateKernelEvent() {
    KernelEvent k;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kKernelName.c_str()));
    k.event = IoCreateNotificationEvent(&name, &k.handle);
    return k;
}

struct SleepThenSet {
    HANDLE event;
    DWORD sleep;
};

DWORD WINAPI SleepThenSetBody(LPVOID p) {
    auto* s = static_cast<SleepThenSet*>(p);
    Sleep(s->sleep);
    SetEvent(s->event);
    return 0;
}

}  // namespace

TEST_F(UmTest, GlobalEventIsTheKernelsNamedEventAndDiesWithItsLastHandle) {
    KernelEvent k = CreateKernelEvent();
    ASSERT_NE(k.event, nullptr);
    AsHost([&] {
        HANDLE opened = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, WSTR("Global\\UmEventsTest"));
        ASSERT_NE(opened, nullptr);
        HANDLE created = CreateEventW(nullptr, TRUE, FALSE, WSTR("Global\\UmEventsTest"));
        ASSERT_NE(created, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        // The kernel sets it, user mode sees it; user mode resets it, the kernel sees that.
        KeSetEvent(k.event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(WaitForSingleObject(created, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(ResetEvent(opened));
        EXPECT_EQ(KeReadStateEvent(k.event), 0);
        EXPECT_TRUE(SetEvent(created));
        EXPECT_EQ(KeReadStateEvent(k.event), 1);
        CloseHandle(opened);
        CloseHandle(created);
    });
    // The kernel's handle still holds it.
    EXPECT_TRUE(M().NamedObjectExists(kKernelName));
    AsHost([&] {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, WSTR("Global\\UmEventsTest"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        ASSERT_EQ(ZwClose(k.handle), STATUS_SUCCESS);
        // Now only the library's handle holds it.
        EXPECT_TRUE(M().NamedObjectExists(kKernelName));
        CloseHandle(h);
        EXPECT_FALSE(M().NamedObjectExists(kKernelName));
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, WSTR("Global\\UmEventsTest")), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        // A name made anew starts in the state asked for.
        HANDLE fresh = CreateEventW(nullptr, FALSE, TRUE, WSTR("Global\\UmEventsTest"));
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(WaitForSingleObject(fresh, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        // Auto-reset: the wait consumed the signal.
        EXPECT_EQ(WaitForSingleObject(fresh, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        CloseHandle(fresh);
    });
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}

TEST_F(UmTest, BadEventNamesAndHandlesFail) {
    AsHost([] {
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, WSTR("Global\\a\\b")), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
        EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7777)));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 10), WAIT_FAILED);
    });
}

TEST_F(UmTest, SleepOnTheDrivenClockCostsNoRealTime) {
    uint64_t before = M().TickCount();
    auto start = std::chrono::steady_clock::now();
    AsHost([] {
        Sleep(60 * 60 * 1000);  // an hour
        HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(e, 30 * 1000), static_cast<DWORD>(WAIT_TIMEOUT));
        CloseHandle(e);
    });
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    uint64_t ms = (M().TickCount() - before) * winsim::Machine::kTimeIncrement / 10000;
    EXPECT_GE(ms, 60u * 60 * 1000 + 30 * 1000 - 16);
    EXPECT_LE(ms, 60u * 60 * 1000 + 30 * 1000 + 16);
}

TEST_F(UmTest, TheClockMovesToTheNearestDeadlineOnlyWhenEveryHostThreadWaits) {
    // One thread sets the event after 500 ms; the waiter gives it 1000 ms. The
    // waiter must not time out first, whichever thread reaches its wait first.
    for (int round = 0; round < 20; ++round) {
        AsHost([] {
            HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            SleepThenSet job{e, 500};
            HANDLE t = CreateThread(nullptr, 0, SleepThenSetBody, &job, 0, nullptr);
            DWORD start = GetTickCount();
            EXPECT_EQ(WaitForSingleObject(e, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
            DWORD waited = GetTickCount() - start;
            EXPECT_GE(waited, 484u);
            EXPECT_LT(waited, 1000u);
            WaitForSingleObject(t, INFINITE);
            CloseHandle(t);
            CloseHandle(e);
        });
    }
    EXPECT_TRUE(M().Verifier().Clean()) << M().Verifier().ToString();
}
