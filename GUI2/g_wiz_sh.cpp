// The wizard frame.
#include "GUI2/g_wiz_sh.h"

#include "GUI2/g_images.h"
#include "GUI2/g_wiz_pg.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "converter/vlm_errh.h"
#include "platform/win32/shell.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QShortcut>
#include <QTextDocument>
#include <QThread>

#include <exception>
#include <filesystem>

void gui_thread_call(const std::function<void()>& work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        work();
        return;
    }
    // An exception must not cross the event loop: it is carried back to the waiting caller.
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        app,
        [&] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

namespace {

std::string default_help_folder() {
    const std::filesystem::path program(tk_get_module_file_name());
    return (program.parent_path() / "help").string();
}

// The caption of a box and its owner, by whether the frame is up.
QString box_caption(const char* word) {
    if (wizard_shell::is_initialized()) {
        return QString::fromStdWString(tk_singleton<wizard_shell>::pointer()->title()) + ' ' + word;
    }
    return word;
}

QWidget* box_owner() {
    return wizard_shell::is_initialized() ? tk_singleton<wizard_shell>::pointer() : nullptr;
}

void show_box(QMessageBox::Icon icon, const char* word, const std::wstring& text) {
    gui_thread_call([&] {
        QMessageBox box(icon, box_caption(word), QString::fromStdWString(text), QMessageBox::Ok,
                        box_owner());
        box.exec();
    });
}

// A run of many objects would otherwise grow the box without end: the oldest text goes, up to
// the end of its line, so the box never starts with half a line.
void trim_log(QPlainTextEdit& box) {
    QTextDocument* document = box.document();
    const int excess = document->characterCount() - 1 - wizard_shell::log_limit;
    if (excess <= 0) {
        return;
    }
    QTextCursor cut(document);
    cut.setPosition(excess, QTextCursor::KeepAnchor);
    if (!cut.atBlockStart()) {
        cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    }
    cut.removeSelectedText();
}

} // namespace

wizard_shell::wizard_shell(const std::wstring& title)
    : help_folder(default_help_folder()), title_(title) {
    tk_log_wmessage(2, L"wizard_shell::ctor(%ls)", title.c_str());
    setWizardStyle(QWizard::ModernStyle);
    setOptions(QWizard::HaveHelpButton | QWizard::NoDefaultButton);
    setPixmap(QWizard::LogoPixmap, wizard_logo());
    setPixmap(QWizard::WatermarkPixmap, QPixmap());
    setObjectName("wizard_shell");

    connect(this, &QWizard::currentIdChanged, this, [this](int id) { activate(id); });
    connect(this, &QWizard::helpRequested, this, [this] { help_requested(); });
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { help_requested(); });

    // Back asks the page first, which may store its controls and refuse to leave.
    QAbstractButton* back = button(QWizard::BackButton);
    QObject::disconnect(back, nullptr, this, nullptr);
    connect(back, &QAbstractButton::clicked, this, [this] { go_back(); });

    timer_.setTimerType(Qt::CoarseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (wizard_page* page = current_wizard_page()) {
            page->on_timer();
        }
    });
}

wizard_shell::~wizard_shell() {
    tk_log_message(2, "wizard_shell::dtor");
    initialized_ = false;
    timer_.stop();
}

void wizard_shell::add_page(wizard_page* page) {
    const QList<int> ids = pageIds();
    setPage(ids.isEmpty() ? 1 : ids.back() + 1, page);
}

wizard_page* wizard_shell::page_of_dialog(int dialog) const {
    for (int id : pageIds()) {
        auto* candidate = dynamic_cast<wizard_page*>(page(id));
        if (candidate != nullptr && candidate->dialog() == dialog) {
            return candidate;
        }
    }
    return nullptr;
}

int wizard_shell::id_of_dialog(int dialog) const {
    const wizard_page* named = page_of_dialog(dialog);
    for (int id : pageIds()) {
        if (page(id) == named) {
            return id;
        }
    }
    return -1;
}

wizard_page* wizard_shell::current_wizard_page() const {
    return dynamic_cast<wizard_page*>(currentPage());
}

void wizard_shell::initialize_if() {
    if (initialized_) {
        return;
    }
    setWindowTitle(QString::fromStdWString(title_));
    setWindowIcon(wizard_icon());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    initialized_ = true;
}

bool wizard_shell::is_initialized() {
    const wizard_shell* shell = tk_singleton<wizard_shell>::pointer();
    return shell != nullptr && shell->initialized_;
}

void wizard_shell::error(const std::wstring& text) {
    tk_log_wmessage(1, L"wizard_shell::error(%ls)", text.c_str());
    show_box(QMessageBox::Critical, "Error", text);
    tk_log_message(3, "%s", vlm_display_narrow(text).c_str());
}

void wizard_shell::error_narrow(const std::string& text) {
    error(vlm_display_wide(text));
}

void wizard_shell::message(const std::wstring& text) {
    tk_log_wmessage(1, L"wizard_shell::message(%ls)", text.c_str());
    show_box(QMessageBox::Information, "Message", text);
    tk_log_message(3, "%s", vlm_display_narrow(text).c_str());
}

bool wizard_shell::question(const std::wstring& text) {
    bool yes = false;
    gui_thread_call([&] {
        QMessageBox box(QMessageBox::Question, box_caption("Question"),
                        QString::fromStdWString(text), QMessageBox::Yes | QMessageBox::No,
                        box_owner());
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        yes = box.exec() == QMessageBox::Yes;
    });
    return yes;
}

void wizard_shell::display_help(int topic) {
    if (topic != 0) {
        tk_log_message(2, "wizard_shell::display_help(%d)", topic);
    } else {
        tk_log_message(2, "wizard_shell::display_help");
    }
    const std::filesystem::path file =
        std::filesystem::path(help_folder) /
        (topic != 0 ? std::to_string(topic) + ".html" : "index.html");
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(file, ignored)) {
        error(L"Help file does not exist. Reinstall the program.");
        return;
    }
    if (!win32::open_with_desktop(file.string())) {
        error(L"The help cannot be shown: the desktop's opener (xdg-open) could not be started.");
    }
}

void wizard_shell::start_timer(unsigned period_ms) {
    bool twice = false;
    gui_thread_call([&] {
        twice = timer_.isActive();
        if (!twice) {
            timer_.start(static_cast<int>(period_ms));
        }
    });
    if (twice) {
        throw tk_mail_assertion("g_wiz_sh", 281);
    }
}

void wizard_shell::stop_timer() {
    gui_thread_call([&] { timer_.stop(); });
}

void wizard_shell::write_log(const std::wstring& text) {
    tk_log_wmessage(1, L"wizard_shell::write_log(%ls)", text.c_str());
    gui_thread_call([&] {
        wizard_page* page =
            last_id_ < 0 ? nullptr : dynamic_cast<wizard_page*>(this->page(last_id_));
        if (page == nullptr) {
            return;
        }
        QPlainTextEdit* box = page->log_box();
        if (box == nullptr) {
            tk_log_message(1, "Editbox failed to be initialized");
            return;
        }
        QTextCursor end = box->textCursor();
        end.movePosition(QTextCursor::End);
        end.insertText(QString::fromStdWString(text));
        trim_log(*box);
        end.movePosition(QTextCursor::End);
        box->setTextCursor(end);
        box->ensureCursorVisible();
    });
}

void wizard_shell::enable_button(WizardButton which, bool enable) {
    tk_log_message(1, "wizard_shell::enable_button(%08X)", static_cast<unsigned>(which));
    button(which)->setEnabled(enable);
}

void wizard_shell::reject() {
    wizard_page* page = current_wizard_page();
    if (page != nullptr && !page->on_cancel()) {
        return;
    }
    QWizard::reject();
}

void wizard_shell::accept() {
    finishing_ = true;
    QWizard::accept();
    finishing_ = false;
}

void wizard_shell::go_back() {
    wizard_page* page = current_wizard_page();
    if (page == nullptr) {
        return;
    }
    const int answer = page->on_back();
    if (answer == wizard_page::stay) {
        return;
    }
    int target = -1;
    if (answer == wizard_page::move_on) {
        const QList<int> ids = pageIds();
        const qsizetype at = ids.indexOf(currentId());
        target = at > 0 ? ids[at - 1] : -1;
    } else {
        target = id_of_dialog(answer);
    }
    if (target >= 0) {
        go_to(target);
    }
}

void wizard_shell::go_to(int index) {
    if (index == currentId() || page(index) == nullptr) {
        return;
    }
    if (visitedIds().contains(index)) {
        // Back through the history without entering the pages in between.
        navigating_ = true;
        while (currentId() != index) {
            back();
        }
        navigating_ = false;
        activate(index);
        return;
    }
    jumping_ = true;
    jump_target_ = index;
    next();
    jumping_ = false;
}

void wizard_shell::help_requested() {
    if (wizard_page* page = current_wizard_page()) {
        page->on_help();
    }
}

void wizard_shell::activate(int id) {
    if (navigating_) {
        return;
    }
    auto* page = dynamic_cast<wizard_page*>(this->page(id));
    if (page == nullptr) {
        return;
    }
    const bool forward = id > last_id_;
    tk_log_message(1, "wizard_page::OnSetActive");
    page->forget_target();
    const unsigned buttons = page->wizard_buttons();
    QList<WizardButton> layout{Stretch, BackButton};
    layout << ((buttons & wizard_page::finish) ? FinishButton : NextButton) << CancelButton
           << HelpButton;
    setButtonLayout(layout);
    button(BackButton)->setEnabled((buttons & wizard_page::back) != 0);
    button(NextButton)->setEnabled((buttons & wizard_page::next) != 0);
    initialize_if();
    last_id_ = id;
    if (!page->page_init()) {
        // A page that declines is passed over in the direction of travel.
        const QList<int> ids = pageIds();
        const qsizetype at = ids.indexOf(id);
        const qsizetype beyond = forward ? at + 1 : at - 1;
        if (beyond >= 0 && beyond < ids.size()) {
            QMetaObject::invokeMethod(
                this, [this, target = ids[beyond]] { go_to(target); }, Qt::QueuedConnection);
        }
    }
}
