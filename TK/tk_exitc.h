// Work that must be done even when the process is ended at once (an error that ends the program
// skips every destructor): removing a half-written file, saying what was not done.
#pragma once

#include <functional>

// Registers `cleanup` for the life of the object; tk_run_exit_cleanups() calls it. Made and
// destroyed on one thread; cleanups run newest first.
class tk_exit_cleanup {
public:
    explicit tk_exit_cleanup(std::function<void()> cleanup);
    ~tk_exit_cleanup();
    tk_exit_cleanup(const tk_exit_cleanup&) = delete;
    tk_exit_cleanup& operator=(const tk_exit_cleanup&) = delete;

private:
    std::function<void()> cleanup_;
    tk_exit_cleanup* previous_;
    friend void tk_run_exit_cleanups() noexcept;
};

// Runs every registered cleanup once, newest first, and forgets them; a cleanup that throws is
// skipped. Called right before the process ends without unwinding.
void tk_run_exit_cleanups() noexcept;
