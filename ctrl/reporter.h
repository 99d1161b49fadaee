// CReporter moves the driver's event log into the host: its thread waits on the
// named event the driver sets while records wait, drains them with GET_LOG into a
// buffer that grows to what the driver asks for, and hands one line per record to
// the host's callback (reporter_format.h builds the lines).
#pragma once

#include "platform/um.h"

#include <atomic>
#include <functional>

#include "ctrl/kx4grdctrl.h"
#include "ctrl/reporter_format.h"

// Room for this many bytes beyond what the driver asked for (101 more records), so
// that records arriving between two sends do not force another round trip.
constexpr ULONGLONG kReporterSlackBytes = 232096;
// The smallest buffer the reporter keeps: a reply header and one record. A smaller
// one would let the driver answer a large backlog with success and no record.
constexpr ULONGLONG kReporterMinimumBuffer = KX_GET_LOG_HEADER_SIZE + KX_EVENT_RECORD_SIZE;

// The real conversions: local time through the system's time zone, paths through
// the machine's DOS devices.
class SystemReporterServices : public ReporterSystem {
public:
    bool LocalCalendar(ULONGLONG fileTime, ReporterCalendar* calendar) const override;
    bool NtToDrive(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override;
    void NtToUnc(const WCHAR* ntPath, WCHAR* out, size_t outChars) const override;
};

class CReporter {
public:
    // One GET_LOG exchange: FilterSendMessage's result and the returned length.
    using LogSender = std::function<HRESULT(PVOID reply, DWORD replySize, PDWORD returned)>;

    // system: the conversions for the lines (null: SystemReporterServices).
    CReporter(ReporterLineCallback callback, LogSender sender, const ReporterSystem* system = nullptr);
    // Releases the buffer and closes the event and the thread handle. The thread
    // must have ended (Stop), or this runs on it as it ends (DetachFromCaller).
    ~CReporter();
    CReporter(const CReporter&) = delete;
    CReporter& operator=(const CReporter&) = delete;

    // Creates (or opens) the ReportNotifyEvent. False with the last error set.
    bool Init(LPSECURITY_ATTRIBUTES securityAttributes);
    // Sets the running flag and starts Runner. False (flag clear) with the last error.
    bool Start();
    // Clears the running flag, wakes the thread through its event and waits until
    // it has ended. Must not run on the reporter's own thread (see DetachFromCaller).
    void Stop();
    // True on the reporter's own thread, i.e. inside the host's callback.
    bool OnReporterThread() const;
    // From inside the host's callback: clears the running flag and hands the object
    // to its thread, which delivers no further line and frees it once the callback
    // has returned and the thread leaves.
    void DetachFromCaller();

    static DWORD WINAPI Runner(LPVOID self);
    // One fetch of everything pending, and a line per record.
    void GetLog();
    // One record (bytes available at record) to one line, logged and handed to the host.
    void ReadParam(const void* record, size_t bytes);

    bool Running() const { return running_.load() != 0; }
    // Test-only: the running flag without a thread, so fetches can be driven directly.
    void SetRunningForTesting(bool running) { running_.store(running ? 1 : 0); }
    HANDLE NotifyEvent() const { return notifyEvent_; }
    DWORD BufferSize() const { return size_; }

private:
    void DeliverReply();
    bool Resize(ULONGLONG bytes);
    void ReleaseBuffer();

    ReporterLineCallback callback_;
    LogSender sender_;
    SystemReporterServices systemServices_;
    const ReporterSystem* system_;
    PBYTE buffer_ = nullptr;  // page-granular, from VirtualAlloc
    DWORD size_ = 0;
    HANDLE notifyEvent_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    std::atomic<DWORD> runnerThreadId_{0};  // set by the thread itself
    std::atomic<LONG> running_{0};
    std::atomic<bool> detached_{false};
};
