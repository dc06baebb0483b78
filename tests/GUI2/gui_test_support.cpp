// Helpers of the wizard tests, and the test program's main (a QApplication for every test).
#include "gui_test_support.h"

#include "platform/win32/shell.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

void record_and_press(seen_box& seen, int button) {
    when_modal([&seen, button](QWidget* shown) {
        auto* box = dynamic_cast<QMessageBox*>(shown);
        ASSERT_NE(box, nullptr);
        seen.caption = box->windowTitle();
        seen.text = box->text();
        seen.owner = box->parentWidget();
        seen.shown = true;
        box->button(static_cast<QMessageBox::StandardButton>(button))->click();
    });
}

bool wait_until(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

temp_folder::temp_folder() {
    char pattern[] = "/tmp/velmora-gui-test.XXXXXX";
    path = mkdtemp(pattern);
}

temp_folder::~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

recording_opener::recording_opener() {
    const std::filesystem::path script = folder.path / "opener";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '"
                          << (folder.path / "opened").string() << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    win32::set_desktop_opener(script.string());
}

recording_opener::~recording_opener() {
    win32::set_desktop_opener("");
}

std::string recording_opener::targets() const {
    std::ifstream in(folder.path / "opened");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int main(int argc, char** argv) {
    temp_folder config;
    setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
    // A "Local" MySQL server is the test server's socket, never the machine's default one: the
    // variable, and the user's option file, read after the system's, both name it.
    temp_folder home;
    if (const char* mysql = std::getenv("VELMORA_TEST_MYSQL")) {
        const std::string settings = mysql;
        const std::size_t at = settings.find("socket=");
        if (at != std::string::npos) {
            const std::string socket = settings.substr(at + 7, settings.find(';', at) - at - 7);
            setenv("MYSQL_UNIX_PORT", socket.c_str(), 1);
            std::ofstream(home.path / ".my.cnf") << "[client]\nsocket=" << socket << "\n";
            setenv("HOME", home.path.c_str(), 1);
        }
    }
    // ctest sets the offscreen platform; test discovery and a bare run get it here.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
