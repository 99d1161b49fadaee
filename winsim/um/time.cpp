// Local time of user mode. The machine has one time zone, given by its current
// bias in minutes (UTC = local time + bias; 0 after boot, Machine::SetTimeZoneBias
// changes it). As on Windows, FileTimeToLocalFileTime applies the bias in force
// now, not the one in force at the time converted.
#include <cstring>

#include "winsim/um/services.h"

namespace winsim::um {
namespace {

constexpr int64_t kTicksPerMinute = 600000000LL;  // 100-ns units
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;

struct TimeState {
    std::atomic<int32_t> bias{0};
};
std::unique_ptr<TimeState> g_time;

TimeState& Time() {
    if (!g_time) Machine::Current();
    return *g_time;
}

uint64_t Value(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Store(uint64_t value, FILETIME* ft) {
    ft->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    ft->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// FILETIME -> SYSTEMTIME; false beyond the largest FILETIME.
bool ToSystemTime(uint64_t value, SYSTEMTIME* systemTime) {
    if (value > kMaxFileTime) return false;
    const uint64_t milliseconds = value / 10000;
    const int64_t days = static_cast<int64_t>(milliseconds / 86400000ULL);  // since 1601-01-01, a Monday
    const uint64_t inDay = milliseconds % 86400000ULL;

    // Civil date from a day count (days since 0000-03-01 in the proleptic Gregorian calendar).
    const int64_t z = days + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    systemTime->wYear = static_cast<WORD>(year);
    systemTime->wMonth = static_cast<WORD>(month);
    systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
    systemTime->wDay = static_cast<WORD>(day);
    systemTime->wHour = static_cast<WORD>(inDay / 3600000);
    systemTime->wMinute = static_cast<WORD>(inDay / 60000 % 60);
    systemTime->wSecond = static_cast<WORD>(inDay / 1000 % 60);
    systemTime->wMilliseconds = static_cast<WORD>(inDay % 1000);
    return true;
}

// Days since 1601-01-01 of a civil date.
int64_t DaysFrom1601(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = year / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 584694;
}

int64_t LocalNow() {
    return static_cast<int64_t>(detail::SystemTimeNow()) - static_cast<int64_t>(Time().bias.load()) * kTicksPerMinute;
}

}  // namespace

void TimeBoot() { g_time = std::make_unique<TimeState>(); }
void TimeShutdown() { g_time.reset(); }

}  // namespace winsim::um

// ---------------------------------------------------------------- test controls
namespace winsim {

void Machine::SetTimeZoneBias(int32_t minutes) {
    if (minutes < -24 * 60 || minutes > 24 * 60) throw std::invalid_argument("SetTimeZoneBias: out of range");
    um::Time().bias.store(minutes);
}

int32_t Machine::TimeZoneBias() const { return um::Time().bias.load(); }

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;
using namespace winsim::um;

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime) {
    if (!fileTime || !localFileTime) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const uint64_t utc = Value(*fileTime);
    const int64_t local = static_cast<int64_t>(utc) - static_cast<int64_t>(Time().bias.load()) * kTicksPerMinute;
    if (utc > kMaxFileTime || local < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Store(static_cast<uint64_t>(local), localFileTime);
    return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    if (!fileTime || !systemTime) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (!ToSystemTime(Value(*fileTime), systemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    if (!systemTime || !fileTime) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const SYSTEMTIME& t = *systemTime;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.wYear % 4 == 0 && t.wYear % 100 != 0) || t.wYear % 400 == 0;
    const bool valid = t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
                       t.wDay <= kDays[t.wMonth - 1] + (t.wMonth == 2 && leap ? 1 : 0) && t.wHour < 24 &&
                       t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000;
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t days = DaysFrom1601(t.wYear, t.wMonth, t.wDay);
    const int64_t ms = ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000LL + t.wSecond * 1000LL + t.wMilliseconds;
    Store(static_cast<uint64_t>(ms) * 10000, fileTime);
    return TRUE;
}

void WINAPI GetSystemTime(LPSYSTEMTIME systemTime) { ToSystemTime(detail::SystemTimeNow(), systemTime); }

void WINAPI GetLocalTime(LPSYSTEMTIME systemTime) {
    const int64_t local = LocalNow();
    ToSystemTime(local < 0 ? 0 : static_cast<uint64_t>(local), systemTime);
}

DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION information) {
    if (!information) {
        SetLastError(ERROR_NOACCESS);
        return TIME_ZONE_ID_INVALID;
    }
    // One fixed bias, no daylight saving time.
    std::memset(information, 0, sizeof *information);
    information->Bias = Time().bias.load();
    return TIME_ZONE_ID_UNKNOWN;
}
