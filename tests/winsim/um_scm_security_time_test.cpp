// Token privileges (enough to enable SeDebugPrivilege), security descriptors with
// a null DACL, and local time with the machine's time zone.
#include <cstring>

#include "tests/winsim/um_scm_fixture.h"

namespace umtest {
namespace {

class SecurityTest : public ServicesTest {};

TEST_F(SecurityTest, AnAdministratorEnablesSeDebugPrivilege) {
    EXPECT_FALSE(machine().PrivilegeEnabled(host_, u"SeDebugPrivilege")) << "held but disabled at first";
    AsHost([&] {
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        LUID luid{};
        ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &luid));
        EXPECT_EQ(luid.LowPart, 20u);
        EXPECT_EQ(luid.HighPart, 0);
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Luid = luid;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        TOKEN_PRIVILEGES previous{};
        DWORD length = 0;
        SetLastError(1234);
        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, sizeof previous, &previous, &length));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(previous.PrivilegeCount, 1u);
        EXPECT_EQ(previous.Privileges[0].Attributes, 0u) << "it was disabled";
        EXPECT_TRUE(CloseHandle(token));
    });
    EXPECT_TRUE(machine().PrivilegeEnabled(host_, u"SeDebugPrivilege"));
}

TEST_F(SecurityTest, PrivilegeErrors) {
    PEPROCESS standard = StandardUser();
    machine().RunAsHost(standard, [&] {
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &wanted.Privileges[0].Luid));
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // A standard user does not hold it: success, but not all assigned.
        EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ALL_ASSIGNED);
        // Asking for the previous state needs TOKEN_QUERY.
        TOKEN_PRIVILEGES previous{};
        EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &wanted, sizeof previous, &previous, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_TRUE(CloseHandle(token));

        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_TRUE(CloseHandle(token));

        LUID luid;
        EXPECT_FALSE(LookupPrivilegeValueW(nullptr, W(u"SeNoSuchPrivilege"), &luid));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_PRIVILEGE);
    });
    EXPECT_FALSE(machine().PrivilegeEnabled(standard, u"SeDebugPrivilege"));
}

TEST_F(SecurityTest, NullDaclSecurityDescriptor) {
    AsHost([&] {
        SECURITY_DESCRIPTOR sd;
        std::memset(&sd, 0xAB, sizeof sd);
        EXPECT_EQ(sizeof sd, (size_t)SECURITY_DESCRIPTOR_MIN_LENGTH);
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_EQ(sd.Revision, SECURITY_DESCRIPTOR_REVISION);
        EXPECT_EQ(sd.Control, 0);
        EXPECT_EQ(sd.Owner, nullptr);
        EXPECT_EQ(sd.Dacl, nullptr);
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
        EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
        EXPECT_EQ(sd.Dacl, nullptr);
        SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), &sd, FALSE};
        EXPECT_EQ(sa.lpSecurityDescriptor, &sd);

        SECURITY_DESCRIPTOR bad;
        EXPECT_FALSE(InitializeSecurityDescriptor(&bad, 2));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_REVISION);
    });
}

class LocalTimeTest : public ServicesTest {};

FILETIME Ft(uint64_t v) { return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)}; }
uint64_t V(const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

TEST_F(LocalTimeTest, SystemTimeFields) {
    AsHost([&] {
        SYSTEMTIME st{};
        FILETIME zero = Ft(0);
        ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
        EXPECT_EQ(st.wYear, 1601);
        EXPECT_EQ(st.wMonth, 1);
        EXPECT_EQ(st.wDay, 1);
        EXPECT_EQ(st.wDayOfWeek, 1) << "a Monday";
        // 2024-02-29 23:59:58.765 UTC, a Thursday (Unix 1709251198).
        FILETIME leap = Ft(116444736000000000ULL + 1709251198ULL * 10000000ULL + 7650000ULL);
        ASSERT_TRUE(FileTimeToSystemTime(&leap, &st));
        EXPECT_EQ(st.wYear, 2024);
        EXPECT_EQ(st.wMonth, 2);
        EXPECT_EQ(st.wDay, 29);
        EXPECT_EQ(st.wDayOfWeek, 4);
        EXPECT_EQ(st.wHour, 23);
        EXPECT_EQ(st.wMinute, 59);
        EXPECT_EQ(st.wSecond, 58);
        EXPECT_EQ(st.wMilliseconds, 765);
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
        EXPECT_EQ(V(back), V(leap));
        FILETIME tooLarge = Ft(0x8000000000000000ULL);
        EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    });
}

TEST_F(LocalTimeTest, LocalTimeUsesTheBiasInForceNow) {
    const uint64_t noon = 116444736000000000ULL + 1709208000ULL * 10000000ULL;  // 2024-02-29 12:00 UTC
    AsHost([&] {
        FILETIME utc = Ft(noon), local{};
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(V(local), noon) << "UTC after boot";
    });
    machine().SetTimeZoneBias(-540);  // UTC+9
    AsHost([&] {
        FILETIME utc = Ft(noon), local{};
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
        EXPECT_EQ(st.wHour, 21);
        TIME_ZONE_INFORMATION tz{};
        GetTimeZoneInformation(&tz);
        EXPECT_EQ(tz.Bias, -540);
    });
    // The same instant converted after the zone changed gives the new local time:
    // the bias of the moment of conversion, not of the time converted.
    machine().SetTimeZoneBias(300);  // UTC-5
    AsHost([&] {
        FILETIME utc = Ft(noon), local{};
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        EXPECT_EQ(V(local), noon - 300ULL * 600000000ULL);
    });
}

}  // namespace
}  // namespace umtest
