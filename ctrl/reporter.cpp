#include "ctrl/reporter.h"

#include "ctrl/diag_log.h"
#include "ctrl/paths.h"

bool SystemReporterServices::LocalCalendar(ULONGLONG fileTime, ReporterCalendar* calendar) const {
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
    utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    // Zeroed first: a conversion that fails must not leave stack bytes behind.
    FILETIME local = {};
    SYSTEMTIME st = {};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) {
        return false;
    }
    calendar->year = st.wYear;
    calendar->month = st.wMonth;
    calendar->day = st.wDay;
    calendar->hour = st.wHour;
    calendar->minute = st.wMinute;
    calendar->second = st.wSecond;
    return true;
}

bool SystemReporterServices::NtToDrive(const WCHAR* ntPath, WCHAR* out, size_t outChars) const {
    return NtToDrivePath(ntPath, out, outChars);
}

void SystemReporterServices::NtToUnc(const WCHAR* ntPath, WCHAR* out, size_t outChars) const {
    NtToUncPath(ntPath, out, outChars);
}

CReporter::CReporter(ReporterLineCallback callback, LogSender sender, const ReporterSystem* system)
    : callback_(callback), sender_(std::move(sender)), system_(system != nullptr ? system : &systemServices_) {}

CReporter::~CReporter() {
    ReleaseBuffer();
    if (notifyEvent_ != INVALID_HANDLE_VALUE && notifyEvent_ != nullptr) {
        CloseHandle(notifyEvent_);
    }
    notifyEvent_ = INVALID_HANDLE_VALUE;
    if (thread_ != nullptr) {
        CloseHandle(thread_);
        thread_ = nullptr;
    }
}

bool CReporter::Init(LPSECURITY_ATTRIBUTES securityAttributes) {
    WCHAR name[MAX_PATH];
    WideTextBuilder(name, KX_COUNTOF(name)).Text(WSTR("Global\\")).Text(KX4GRD_EVENT_GUID);
    // Manual reset: the driver sets it while records wait, the reporter resets it
    // after each wake-up, before the next fetch.
    HANDLE event = CreateEventW(securityAttributes, TRUE, FALSE, name);
    if (event == nullptr) {
        const DWORD error = GetLastError();
        KX_LOGW(WSTR("%s :: reportnotiy CreateEvent ge(%d)\n"), WSTR("CReporter::Init"), error);
        SetLastError(error);
        return false;
    }
    notifyEvent_ = event;
    return true;
}

bool CReporter::Start() {
    running_.store(1);
    HANDLE thread = CreateThread(nullptr, 0, &CReporter::Runner, this, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        running_.store(0);
        SetLastError(error);
        return false;
    }
    thread_ = thread;
    return true;
}

bool CReporter::OnReporterThread() const {
    const DWORD runner = runnerThreadId_.load();
    return runner != 0 && GetCurrentThreadId() == runner;
}

void CReporter::Stop() {
    running_.store(0);
    // The thread may be waiting for the driver's signal: give it one.
    if (notifyEvent_ != INVALID_HANDLE_VALUE && notifyEvent_ != nullptr) {
        SetEvent(notifyEvent_);
    }
    if (thread_ != nullptr && !OnReporterThread()) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
}

void CReporter::DetachFromCaller() {
    running_.store(0);
    detached_.store(true);
}

DWORD WINAPI CReporter::Runner(LPVOID self) {
    auto* reporter = static_cast<CReporter*>(self);
    if (reporter == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // Known before the first line reaches the host: a Kx4grdCleanup from inside the
    // callback must recognise this thread even if CreateThread has not returned yet.
    reporter->runnerThreadId_.store(GetCurrentThreadId());
    // Nothing the host's callback or the system does may take the thread down
    // with an exception.
    try {
        while (reporter->running_.load() != 0) {
            reporter->GetLog();
            if (reporter->running_.load() == 0) {
                break;
            }
            const DWORD wait = WaitForSingleObject(reporter->notifyEvent_, INFINITE);
            if (wait != WAIT_OBJECT_0) {
                KX_LOGW(WSTR("%s :: CReporter::run() Terminate(%x)\n"), WSTR("CReporter::Runner"), wait);
                break;
            }
            // Reset before the flag is read again: a stop that signalled the event
            // has already cleared the flag.
            ResetEvent(reporter->notifyEvent_);
        }
    } catch (...) {
        KX_LOGW(WSTR("%s :: exception in the reporter thread\n"), WSTR("CReporter::Runner"));
    }
    KX_LOGW(WSTR("%s :: ReplayThread end\n"), WSTR("CReporter::Runner"));
    if (reporter->detached_.load()) {
        // Kx4grdCleanup ran inside the host's callback on this thread and left the
        // reporter to it; nobody else holds it any more.
        delete reporter;
    }
    return 0;
}

void CReporter::ReleaseBuffer() {
    if (buffer_ != nullptr) {
        VirtualFree(buffer_, 0, MEM_RELEASE);
        buffer_ = nullptr;
    }
    size_ = 0;
}

bool CReporter::Resize(ULONGLONG bytes) {
    ReleaseBuffer();
    void* buffer = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == nullptr) {
        KX_LOGW(WSTR("%s :: ReadLog alloc buffer fail\n"), WSTR("CReporter::GetLog"));
        return false;
    }
    buffer_ = static_cast<PBYTE>(buffer);
    size_ = static_cast<DWORD>(bytes);
    return true;
}

void CReporter::GetLog() {
    if (running_.load() == 0) {
        return;
    }
    // Only a successful send writes the returned length; a failure other than a
    // too-small buffer must not find the previous send's value there.
    DWORD returned = 0;
    HRESULT hr = sender_(buffer_, size_, &returned);
    if (FAILED(hr)) {
        // Sizes in 64 bits: a returned length near 4 GiB plus the slack must not
        // wrap into a tiny buffer.
        ULONGLONG wanted = static_cast<ULONGLONG>(returned) + kReporterSlackBytes;
        if (wanted < kReporterMinimumBuffer) {
            wanted = kReporterMinimumBuffer;
        }
        if (wanted > 0xFFFFFFFFull) {
            KX_LOGW(WSTR("%s :: ReadLog buffer size overflow (%u + %u)\n"), WSTR("CReporter::GetLog"), returned,
                    static_cast<DWORD>(kReporterSlackBytes));
            return;
        }
        if (!Resize(wanted)) {
            return;
        }
        if (running_.load() == 0) {
            return;
        }
        returned = 0;
        hr = sender_(buffer_, size_, &returned);
        if (FAILED(hr)) {
            return;
        }
    }
    DeliverReply();
}

void CReporter::DeliverReply() {
    // The count is the driver's word; the records read are only those the buffer holds.
    const size_t records = ReporterRecordsInReply(buffer_, size_);
    for (size_t i = 0; i < records; ++i) {
        // After a Kx4grdCleanup from inside the callback no further line is handed over.
        if (detached_.load()) {
            return;
        }
        const size_t offset = ReporterRecordOffset(i);
        ReadParam(buffer_ + offset, size_ - offset);
    }
}

void CReporter::ReadParam(const void* record, size_t bytes) {
    ReporterRecordFields fields;
    if (!ReadReporterRecord(record, bytes, &fields)) {
        return;
    }
    if (fields.code != CONNECT) {
        KX_LOGW(WSTR("%s :: path(%s)"), WSTR("CReporter::ReadParam"), fields.path);
    }
    ReporterLine line;
    FormatReporterLine(fields, *system_, &line);
    if (line.diagnostic) {
        KX_LOGW(WSTR("%s :: ====\t%s"), WSTR("CReporter::ReadParam"), line.text);
    }
    if (callback_ != nullptr) {
        callback_(line.text);
    }
}
