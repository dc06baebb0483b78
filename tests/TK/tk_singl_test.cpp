// Tests of the one-instance registration.
#include "TK/tk_singl.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class registered : public tk_singleton<registered> {
public:
    explicit registered(int id_) : id(id_) {}
    int id;
};

// The message of the internal error raised at tk_singl, `line`.
std::string singleton_error(int line) {
    return make_err_meggase("tk_singl", line);
}

TEST(TkSingleton, AccessorsWithoutAnObjectRaiseTheirInternalErrors) {
    try {
        registered::instance();
        FAIL() << "instance() without an object";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, singleton_error(64));
        EXPECT_EQ(error.level, 2);
    }
    try {
        registered::ref();
        FAIL() << "ref() without an object";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, singleton_error(71));
    }
    EXPECT_EQ(registered::pointer(), nullptr);
}

TEST(TkSingleton, FirstObjectWinsAndAnyDestructionClearsTheRegistration) {
    auto first = std::make_unique<registered>(1);
    EXPECT_EQ(registered::instance(), first.get());
    {
        registered second(2);
        EXPECT_EQ(registered::ref().id, 1) << "a second object leaves the first registered";
    }
    // Destroying the second cleared the registration although the first still exists.
    EXPECT_THROW(registered::instance(), tk_mail_assertion);
    EXPECT_THROW(registered::ref(), tk_mail_assertion);

    first.reset();
    registered third(3);
    EXPECT_EQ(registered::ref().id, 3);
}

} // namespace
