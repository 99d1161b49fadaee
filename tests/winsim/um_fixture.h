// Shared by the um_*_test.cpp files: a booted machine with a C: volume and one
// host process, and helpers to run code as the host.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/um.h"
#include "winsim/winsim.h"

namespace umtest {

class UmTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = &winsim::Machine::Boot();
        volume_ = machine_->AddVolume({winsim::VolumeKind::LocalDisk, u"", u"C:", ""});
        host_ = machine_->StartHost({u"C:\\Program Files\\kx4\\agent.exe", 0, true});
        ASSERT_NE(host_, nullptr);
    }
    void TearDown() override { winsim::Machine::Shutdown(); }

    winsim::Machine& M() { return *machine_; }
    void AsHost(const std::function<void()>& fn) { M().RunAsHost(host_, fn); }

    // Violations that mention text.
    size_t ViolationsWith(const std::string& text) {
        auto report = M().Verifier();
        return static_cast<size_t>(std::count_if(report.violations.begin(), report.violations.end(),
                                                 [&](const std::string& v) { return v.find(text) != std::string::npos; }));
    }

    winsim::Machine* machine_ = nullptr;
    winsim::VolumeInfo volume_;
    PEPROCESS host_ = nullptr;
};

}  // namespace umtest
