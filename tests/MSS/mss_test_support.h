// Shared by the MS SQL source tests: COM for the test's thread and a trace log to read back.
#pragma once

#include "tests/support/trace_capture.h"
#include "platform/com/com_api.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// COM initialised around each test, and every trace line kept in a file of its own.
class mss_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        trace_ = std::make_unique<test_support::trace_capture>(1);
    }

    void TearDown() override {
        trace_.reset();
        CoUninitialize();
    }

    // The trace written so far.
    std::string trace() const { return trace_->text(); }

    // How often `line` appears as a whole line of the trace.
    int trace_count(const std::string& line) const { return trace_->count(line); }

private:
    std::unique_ptr<test_support::trace_capture> trace_;
};
