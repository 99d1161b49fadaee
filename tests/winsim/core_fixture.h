// Shared by the core_*_test.cpp files: a booted machine per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "winsim/detail/internal.h"
#include "winsim/winsim.h"

namespace coretest {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { machine_ = &winsim::Machine::Boot(); }
    void TearDown() override { winsim::Machine::Shutdown(); }

    winsim::Machine& M() { return *machine_; }

    // Violations that mention text.
    size_t ViolationsWith(const std::string& text) {
        auto report = M().Verifier();
        return static_cast<size_t>(std::count_if(report.violations.begin(), report.violations.end(),
                                                 [&](const std::string& v) { return v.find(text) != std::string::npos; }));
    }

    winsim::Machine* machine_ = nullptr;
};

}  // namespace coretest
