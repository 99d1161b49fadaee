// Fixtures of the library's unit tests: a simulated machine with a system disk C:,
// a host process whose threads make the library's calls, the test port standing in
// for the driver, and a capture of the diagnostic log's lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/um.h"
#include "winsim/winsim.h"

#include "ctrl/diag_log.h"
#include "ctrl/interface.h"
#include "ctrl/library.h"
#include "tests/ctrl/interface_test_port.h"

namespace ctrltest {

// A UTF-16 literal as the library's calls take it.
inline const WCHAR* W(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }
inline std::u16string U(const WCHAR* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

// Every line the library logs while it exists (through the diagnostic logger's
// log4cpp category, the way a file appender would receive them).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> Lines() const;
    bool Contains(const std::string& text) const;
    size_t Count(const std::string& text) const;
    std::string All() const;
    void Clear();

private:
    void* appender_;
};

class CtrlTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    winsim::Machine& machine() { return *machine_; }
    // Runs fn on a thread of the host process, as the library's code runs.
    void AsHost(const std::function<void()>& fn);

    // Loads the test port, connects a CInterface to it (taking the CLEAR it sends)
    // and makes it the library's, so the exports reach the port.
    void ConnectInterface();
    // Forgets and destroys the CInterface (closing the port and the library).
    void DestroyInterface();

    // The host directory behind a Windows path on C: ("C:\\a\\b" -> <C: dir>/a/b).
    std::filesystem::path HostPathOnC(const std::string& windowsRelative) const;

    winsim::Machine* machine_ = nullptr;
    winsim::VolumeInfo system_;  // C:
    PEPROCESS host_ = nullptr;
    CInterface* iface_ = nullptr;
};

}  // namespace ctrltest
