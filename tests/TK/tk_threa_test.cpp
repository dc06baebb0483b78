// Tests of the worker thread, its work object and the converter base.
#include "TK/tk_threa.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "tests/TK/tk_core_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>

namespace {

using tk_core_test::read_file;
using tk_core_test::temp_dir;

// A functor that counts its calls and ends after `steps` steps, or when told to stop.
class counting_functor : public tk_thread_functor {
public:
    explicit counting_functor(int steps_, std::atomic<int>* destroyed_ = nullptr)
        : steps(steps_), destroyed(destroyed_) {}
    ~counting_functor() override {
        if (destroyed != nullptr) {
            ++*destroyed;
        }
    }

    void operator()() override {
        ++runs;
        tk_thread_functor::operator()();
    }
    bool is_done() override { return stop || steps_taken >= steps; }
    void step() override { ++steps_taken; }
    void finish() override { ++finishes; }

    const int steps;
    std::atomic<int>* destroyed;
    std::atomic<bool> stop{false};
    std::atomic<int> runs{0};
    std::atomic<int> steps_taken{0};
    std::atomic<int> finishes{0};
};

// A thread whose factory hands out a functor the test keeps (not owned), or new owned ones.
class test_thread : public tk_thread {
public:
    explicit test_thread(tk_thread_functor* shared_) : tk_thread(false), shared(shared_) {}
    test_thread(int steps_, std::atomic<int>* destroyed_)
        : tk_thread(true), steps(steps_), destroyed(destroyed_) {}

    tk_thread_functor* create_functor() override {
        if (shared != nullptr) {
            return shared;
        }
        set_owns_functor(true);
        return new counting_functor(steps, destroyed);
    }

    tk_thread_functor* shared = nullptr;
    int steps = 0;
    std::atomic<int>* destroyed = nullptr;
};

class null_factory_thread : public tk_thread {
public:
    null_factory_thread() : tk_thread(false) {}
    tk_thread_functor* create_functor() override { return nullptr; }
};

class throwing_functor : public tk_thread_functor {
public:
    void operator()() override { throw tk_exception("conversion failed", 1); }
};

std::string thread_error(int line) {
    return make_err_meggase("tk_threa", line);
}

TEST(TkThread, RunsItsFunctorOnceThroughTheStepLoop) {
    counting_functor work(3);
    test_thread thread(&work);
    EXPECT_EQ(thread.handle(), nullptr);
    thread.start();
    ASSERT_NE(thread.handle(), nullptr);
    ASSERT_TRUE(thread.wait(INFINITE));
    EXPECT_EQ(work.runs, 1);
    EXPECT_EQ(work.steps_taken, 3);
    EXPECT_EQ(work.finishes, 1);
    EXPECT_FALSE(thread.is_running());

    DWORD exit_code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.handle(), &exit_code));
    EXPECT_EQ(exit_code, 1u);
}

TEST(TkThread, StartingWhileRunningIsAnInternalError) {
    // Steps of the counting functor take no time: it stays in its loop until told to stop.
    counting_functor work(std::numeric_limits<int>::max());
    test_thread thread(&work);
    thread.start();
    ASSERT_TRUE(thread.is_running());
    try {
        thread.start();
        FAIL() << "second start while running";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, thread_error(92));
    }
    try {
        thread.release();
        FAIL() << "release while running";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, thread_error(71));
    }
    work.stop = true;
    ASSERT_TRUE(thread.wait(INFINITE));
    EXPECT_EQ(work.runs, 1);
}

TEST(TkThread, RestartAfterTheEndFreesTheOwnedFunctor) {
    std::atomic<int> destroyed{0};
    test_thread thread(2, &destroyed);
    thread.start();
    ASSERT_TRUE(thread.wait(INFINITE));
    EXPECT_TRUE(thread.owns_functor());

    thread.start();
    EXPECT_EQ(destroyed, 1) << "the first functor is freed by the second start";
    EXPECT_NE(thread.functor(), nullptr);
    ASSERT_TRUE(thread.wait(INFINITE));

    thread.release();
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(thread.handle(), nullptr);
    EXPECT_EQ(thread.functor(), nullptr);
}

TEST(TkThread, FunctorNotOwnedSurvivesTheThreadObject) {
    std::atomic<int> destroyed{0};
    counting_functor work(1, &destroyed);
    {
        test_thread thread(&work);
        thread.start();
        ASSERT_TRUE(thread.wait(INFINITE));
    }
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(work.runs, 1);
}

TEST(TkThread, DefaultFactoryRunsAFunctorThatNeverEnds) {
    temp_dir dir;
    const std::string log = dir.file("trace.log");
    tk_logger logger(log.c_str(), true, 3, false);
    auto started = std::chrono::steady_clock::now();
    {
        tk_thread thread(false);
        thread.start();
        EXPECT_TRUE(thread.owns_functor());
        EXPECT_FALSE(thread.wait(250)) << "the default functor sleeps in steps for ever";
        EXPECT_TRUE(thread.is_running());
        // Destroying the object neither waits for nor kills the thread: it is left to run.
        started = std::chrono::steady_clock::now();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(read_file(log),
              "Worker thread still running when its owner ended; left to finish on its own\r\n");
}

TEST(TkThread, FactoryWithoutFunctorIsAnInternalError) {
    null_factory_thread thread;
    try {
        thread.start();
        FAIL() << "start with a null functor";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, thread_error(105));
    }
    EXPECT_EQ(thread.handle(), nullptr);
}

TEST(TkThread, ExceptionOfTheRunEndsTheThreadAndIsLogged) {
    temp_dir dir;
    const std::string log = dir.file("trace.log");
    tk_logger logger(log.c_str(), true, 3, false);
    throwing_functor work;
    test_thread thread(&work);
    thread.start();
    ASSERT_TRUE(thread.wait(INFINITE));
    EXPECT_EQ(read_file(log), "Worker thread ended by an exception: conversion failed\r\n");
}

TEST(TkConverter, StartsWithBothFlagsOffAndEmptyTexts) {
    temp_dir dir;
    const std::string log = dir.file("trace.log");
    tk_logger logger(log.c_str(), true, 2, false);
    tk_converter converter;
    EXPECT_FALSE(converter.finished);
    EXPECT_FALSE(converter.silent);
    EXPECT_TRUE(converter.src.empty());
    EXPECT_TRUE(converter.dest.empty());
    EXPECT_TRUE(converter.log_file.empty());
    EXPECT_EQ(read_file(log), "tk_converter::ctor\r\n");

    converter.set_flag(true);
    EXPECT_TRUE(converter.silent);
    EXPECT_FALSE(converter.finished) << "set_flag touches the silent flag alone";
    converter.set_flag(false);
    EXPECT_FALSE(converter.silent);
}

TEST(TkConverter, RunsAsTheWorkOfAThread) {
    // The converter's own run is the default step loop; a driver's converter ends it.
    class short_converter : public tk_converter {
    public:
        bool is_done() override { return finished; }
        void step() override { finished = true; }
    };
    short_converter converter;
    test_thread thread(&converter);
    thread.start();
    ASSERT_TRUE(thread.wait(INFINITE));
    EXPECT_TRUE(converter.finished);
}

} // namespace
