// Worker thread, its work object, and the converter base.
#include "TK/tk_threa.h"

#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_fpath.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_utils.h"

#include <exception>
#include <sys/stat.h>

namespace {

// The thread's body: the functor's run. An exception that escaped it would end the whole
// process, so it ends the thread instead and is logged.
DWORD run_functor(void* parameter) {
    auto* functor = static_cast<tk_thread_functor*>(parameter);
    try {
        (*functor)();
    } catch (const tk_final_exception&) {
        tk_log_message(3, "Worker thread: the run was aborted");
        return 0;
    } catch (const std::exception& error) {
        tk_log_message(3, "Worker thread ended by an exception: %s", error.what());
        return 0;
    } catch (...) {
        tk_log_message(3, "Worker thread ended by an unknown exception");
        return 0;
    }
    return 1;
}

constexpr DWORD running_test_wait = 10; // milliseconds

} // namespace

// ---- tk_thread_functor ----------------------------------------------------------------------

tk_thread_functor::~tk_thread_functor() = default;

void tk_thread_functor::operator()() {
    while (!is_done()) {
        step();
    }
    finish();
}

bool tk_thread_functor::is_done() {
    return false;
}

void tk_thread_functor::step() {
    Sleep(100);
}

void tk_thread_functor::finish() {
}

// ---- tk_converter ---------------------------------------------------------------------------

tk_converter::tk_converter() {
    tk_log_message(2, "tk_converter::ctor");
}

tk_converter::~tk_converter() = default;

void tk_converter::set_flag(bool silent_flag) {
    silent = silent_flag;
}

void tk_converter::set_logfile(const std::string& name) {
    tk_log_message(1, "tk_convertor::set_logfile(%s)", name.c_str());
    if (tk_singleton<tk_logger>::pointer() == nullptr) {
        return;
    }
    tk_logger* logger = tk_singleton<tk_logger>::instance();
    log_file = name;
    if (name.empty()) {
        tk_log_message(1, "Filename is empty");
        return;
    }
    // The log is written where a link names, found once here under the rule the kernel
    // follows for links in shared folders; the file itself is opened without following links.
    const std::string target = tk_link_target(name);
    if (tk_is_path_exist(target)) {
        throw tk_exception(tk_message(tk_msg_logfile_is_path), 1);
    }
    // Emptying a pipe with no reader would wait for ever, and a device is no trace file.
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw tk_exception(
            "The log file " + name + " is not a regular file (a pipe, a device or a socket).", 1);
    }
    if (tk_is_file_exist1(target, tk_file_exists) && !tk_is_file_exist1(target, tk_file_writable)) {
        throw tk_exception(tk_message(tk_msg_logfile_read_only), 1);
    }
    // Writing another user's file would hand them the trace; it is refused before the run.
    if (::lstat(target.c_str(), &st) == 0 && st.st_uid != ::geteuid()) {
        throw tk_exception("The log file " + name + " belongs to another user.", 1);
    }
    // Whatever else the writer of files refuses (a hard link in a shared folder) is said now,
    // before the run, rather than by every line the log then drops.
    if (S_ISREG(st.st_mode)) {
        try {
            tk_open_for_writing(target, tk_write_mode::append, 0666, false);
        } catch (const tk_exception& error) {
            throw tk_exception("The log file " + name + " is refused: " + error.message + ".", 1);
        }
    }
    // A name too long to be made absolute names no directory that could exist: the user gets
    // the missing-path message rather than an internal error.
    std::string directory;
    try {
        directory = tk_file_name(target).get_path();
    } catch (const tk_mail_assertion&) {
        throw tk_exception(tk_message(tk_msg_logfile_path_missing), 1);
    }
    if (!tk_is_path_exist(directory)) {
        throw tk_exception(tk_message(tk_msg_logfile_path_missing), 1);
    }
    if (!tk_has_access(directory.c_str(), GENERIC_WRITE)) {
        throw tk_exception(tk_message(tk_msg_logfile_no_privileges), 1);
    }
    logger->refuse_input_as_log(target);
    logger->enable(target);
}

// ---- tk_thread ------------------------------------------------------------------------------

tk_thread::tk_thread(bool owns_functor) : owns_functor_(owns_functor) {
}

tk_thread::~tk_thread() {
    if (handle_ == nullptr || WaitForSingleObject(handle_, running_test_wait) != WAIT_TIMEOUT) {
        try {
            release();
        } catch (...) {
            // release only refuses a running thread, and this one has ended
        }
        return;
    }
    // Killing the thread could leave a file or a connection half written: it is left to run to
    // its end on its own. Its functor stays alive for it (an owned one is not freed).
    tk_log_message(3,
                   "Worker thread still running when its owner ended; left to finish on its own");
    CloseHandle(handle_);
    handle_ = nullptr;
    functor_ = nullptr;
}

tk_thread_functor* tk_thread::create_functor() {
    owns_functor_ = true;
    return new tk_thread_functor;
}

void tk_thread::start() {
    if (is_running()) {
        throw tk_mail_assertion("tk_threa", 92);
    }
    release();
    functor_ = create_functor();
    if (functor_ == nullptr) {
        throw tk_mail_assertion("tk_threa", 105);
    }
    handle_ = CreateThread(nullptr, 0, run_functor, functor_, 0, nullptr);
}

void tk_thread::release() {
    if (is_running()) {
        throw tk_mail_assertion("tk_threa", 71);
    }
    if (handle_ != nullptr) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
    if (owns_functor_) {
        delete functor_;
    }
    functor_ = nullptr;
}

bool tk_thread::is_running() const {
    return handle_ != nullptr && WaitForSingleObject(handle_, running_test_wait) == WAIT_TIMEOUT;
}

bool tk_thread::wait(DWORD milliseconds) const {
    return handle_ == nullptr || WaitForSingleObject(handle_, milliseconds) != WAIT_TIMEOUT;
}
