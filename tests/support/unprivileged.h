// Running a piece of a test as an unprivileged user, for the tests of refused access.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

#include <gtest/gtest.h>

namespace test_support {

// The user and group the child takes when the tests run as root (nobody and nogroup on Debian).
inline constexpr uid_t unprivileged_uid = 65534;
inline constexpr gid_t unprivileged_gid = 65534;

// Runs `body` in a forked child process. When the tests run as root (as CI does, and root is
// granted every access), the child first drops to unprivileged_uid / unprivileged_gid with no
// supplementary groups; otherwise it keeps the current user, who is not privileged anyway.
//
// The body reports through its result: an empty text when its checks hold, else what failed.
// GoogleTest assertions inside the body do not reach the parent; use the result instead.
// Files and folders the body touches must be reachable by that user (a mkdtemp folder is 0700:
// open it with chmod first).
//
// Fails (in the parent) when the body's text is not empty, when the body throws, when the child
// cannot drop its privileges or dies.
testing::AssertionResult run_unprivileged(const std::function<std::string()>& body);

// Collects failed checks of a body: `check(condition, what)` adds `what` when the condition does
// not hold; `text()` is the body's result.
class unprivileged_checks {
public:
    void check(bool condition, const std::string& what) {
        if (!condition) {
            failures_ += failures_.empty() ? what : "; " + what;
        }
    }
    const std::string& text() const { return failures_; }

private:
    std::string failures_;
};

} // namespace test_support
