// What the page tests share: the program's singletons, a converter connected to the TDS test
// server, and an answerer that records and closes every message box.
#pragma once

#include "gui_test_support.h"

#include "platform/tds/tds_provider.h"
#include "tests/converter/converter_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <QMessageBox>
#include <QTimer>

#include <deque>
#include <ostream>
#include <memory>
#include <vector>

// Records the text of every message box shown while it lives and presses the next button of
// `answers` (Ok or No when none is left).
class box_answerer {
public:
    box_answerer();
    ~box_answerer();
    QStringList texts;
    std::deque<QMessageBox::StandardButton> answers;

private:
    QTimer timer_;
};

// The TDS test server with the pages' source, and the singletons of the program.
class page_test : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A converter reaching the source "velmora_pages", every user's table listed.
    std::unique_ptr<velmora_convertor> converter();

    converter_test::driver_env env;
    std::unique_ptr<tds_server> server;
};

// Failures show texts as texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// The texts of a list's items in order.
QStringList items_of(const class QListWidget* list);
