// Installation of the driver as a Windows service: create or reconfigure it, write
// the filter-manager registration and the driver's parameters, start it (with a
// short retry while a previous instance is still going), stop it and delete it.
#pragma once

#include "platform/um.h"

struct ServiceRecord;

class CServiceControl {
public:
    // Creates the kernel-driver service, or reconfigures an existing one to this
    // record's image path. 0 on success, else the system error.
    DWORD Install(const ServiceRecord& record);
    // Starts the service. 0 on success, else the system error (1056 when it was
    // still running after every attempt).
    DWORD Start(const ServiceRecord& record);
    // Sends the stop control. Failures are ignored.
    void Stop(const ServiceRecord& record);
    // Deletes the service (it goes once stopped and its last handle is closed).
    // Failures are ignored.
    void Remove(const ServiceRecord& record);

    // Start attempts while the service reports that it is already running, and
    // the pause after each such attempt.
    static constexpr int kStartAttempts = 5;
    static constexpr DWORD kStartRetryDelayMs = 100;
};

// Writes the default instance, its altitude and flags, and the driver's
// parameters under the service key. 0 or the system error that ended the sequence
// (183 and 1073 count as 0).
DWORD SetMiniFltSeting(const ServiceRecord& record);
