// Worker thread, its work object, and the converter base that runs on it.
#pragma once

#include "platform/win32/thread.h"

#include <atomic>
#include <string>

// The work a tk_thread runs. The default run is a step loop: step() until is_done(), then
// finish(); with the defaults it sleeps in 100 ms steps for ever.
class tk_thread_functor {
public:
    tk_thread_functor() = default;
    tk_thread_functor(const tk_thread_functor&) = delete;
    tk_thread_functor& operator=(const tk_thread_functor&) = delete;
    virtual ~tk_thread_functor();

    virtual void operator()();
    virtual bool is_done(); // false
    virtual void step();    // sleeps 100 ms
    virtual void finish();  // nothing
};

// Root of the system's converter: the shared state of a conversion, and the work of a thread in
// the wizard. The console agent calls the run directly.
class tk_converter : public tk_thread_functor {
public:
    tk_converter();
    ~tk_converter() override;

    virtual void set_flag(bool silent_flag);

    // Checks a log file name, keeps it in `log_file` and enables logging into it. Refusals are
    // tk_exception level 1 with the toolkit messages 5, 4, 3 and 2 (in that order of testing);
    // `log_file` holds the name all the same. An empty name changes nothing but `log_file`.
    // A symbolic link is followed as tk_link_target follows it (a link another user put in a
    // shared sticky folder is refused) and the logger writes the file it names; a file the run
    // reads its settings from (tk_logger::note_input) is refused.
    void set_logfile(const std::string& name);

    // Set by the conversion driver when a run has ended; polled by the wizard's thread.
    std::atomic<bool> finished{false};
    // Silences the console agent's output.
    bool silent = false;
    std::wstring src;
    std::wstring dest;
    std::string log_file;
};

// Owns one worker thread and the functor it runs. A thread that still runs is never killed:
// releasing it is an internal error, and the destructor leaves it to end on its own.
class tk_thread {
public:
    explicit tk_thread(bool owns_functor);
    tk_thread(const tk_thread&) = delete;
    tk_thread& operator=(const tk_thread&) = delete;
    // Waits up to 10 ms; a thread that has ended is released. One that still runs is detached
    // and reported in the log; an owned functor is then left to it (never freed under it).
    virtual ~tk_thread();

    // The functor to run; the default makes a plain tk_thread_functor (owned).
    virtual tk_thread_functor* create_functor();

    // Starts a new thread running create_functor()'s functor, after releasing the previous one.
    // Internal error (tk_threa 92) while a thread runs, (tk_threa 105) for a null functor. A
    // thread that cannot be created is not reported: handle() stays null.
    void start();

    // Closes the handle and drops the functor (deleted when owned). Internal error (tk_threa 71)
    // while the thread runs.
    void release();

    // Running: a handle is set and a wait of 10 ms ends with the thread still running.
    bool is_running() const;

    // Waits up to `milliseconds` (INFINITE: until it ends) for the thread; true when no thread
    // runs any more. For callers that must let a run end before they go away.
    bool wait(DWORD milliseconds) const;

    HANDLE handle() const { return handle_; }
    tk_thread_functor* functor() const { return functor_; }
    bool owns_functor() const { return owns_functor_; }

protected:
    void set_owns_functor(bool owns) { owns_functor_ = owns; }

private:
    HANDLE handle_ = nullptr;
    bool owns_functor_;
    tk_thread_functor* functor_ = nullptr;
};
