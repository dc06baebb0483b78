// A Turkish locale for the tests of letter case: under it the C library upper-cases 'i' to
// U+0130, so a keyword compared with the locale's case never matches.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// The locale's name, "tr_TR.UTF-8". When the machine has no compiled form of it, the first call
// compiles one with localedef into a temporary folder and sets LOCPATH to that folder in this
// process's environment (kept for the process's lifetime, so children inherit it). Fails the
// calling test (and returns an empty name) when neither works: the test must not pass unchecked.
std::string turkish_locale();

// Makes the Turkish locale this process's (setlocale LC_ALL); false when it cannot. glibc keeps
// an allocation of the LOCPATH search for good, which the leak checker is told to overlook.
bool use_turkish_locale();

// The environment a child needs to run under the Turkish locale: LC_ALL and, when the locale
// was compiled here, LOCPATH ("NAME=value" each).
std::vector<std::string> turkish_environment();

} // namespace test_support
