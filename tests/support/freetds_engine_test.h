// The tests of the MS SQL engine through the FreeTDS provider against the TDS test server: COM on
// the test's thread and a trace log of the test's own; the engine goes first, then the server,
// then the log, and COM ends last.
#pragma once

#include "MSS/mss_engi.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tests/support/trace_capture.h"

#include <gtest/gtest.h>

#include <memory>

namespace test_support {

// `trace_level`: the lowest level the log keeps.
template <int trace_level> class freetds_engine_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tds_provider_registered);
        CoInitialize(nullptr);
        log = std::make_unique<trace_capture>(trace_level);
    }

    void TearDown() override {
        engine.reset();
        if (server) {
            server->stop();
        }
        log.reset();
        CoUninitialize();
    }

    std::unique_ptr<trace_capture> log;
    std::unique_ptr<tds_server> server;
    std::unique_ptr<mss_engine> engine;
};

} // namespace test_support
