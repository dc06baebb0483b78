// Compiles the Turkish locale for the tests when the machine lacks it.
#include "tests/support/turkish_locale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <locale.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define VELMORA_LSAN_DISABLE() __lsan_disable()
#define VELMORA_LSAN_ENABLE() __lsan_enable()
#else
#define VELMORA_LSAN_DISABLE()
#define VELMORA_LSAN_ENABLE()
#endif

namespace test_support {

namespace {

constexpr const char* name = "tr_TR.UTF-8";

bool available() {
    VELMORA_LSAN_DISABLE();
    locale_t l = newlocale(LC_CTYPE_MASK, name, nullptr);
    VELMORA_LSAN_ENABLE();
    if (l == nullptr)
        return false;
    freelocale(l);
    return true;
}

// The folder of a compiled locale goes with the process (its children are done by then).
struct temporary_folder {
    std::string path;
    ~temporary_folder() {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

temporary_folder& compiled_folder() {
    static temporary_folder folder;
    return folder;
}

// The compiled locale's folder, empty when the system's own serves; the error when neither.
struct outcome {
    std::string folder;
    std::string error;
};

outcome prepare() {
    if (available())
        return {};
    char folder[] = "/tmp/velmora-locale-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return {"", "no temporary folder for the locale"};
    compiled_folder().path = folder;
    const std::string command =
        std::string("localedef -i tr_TR -f UTF-8 ") + folder + "/" + name + " >/dev/null 2>&1";
    // localedef warns (exit 1) about details of the definition and still writes the locale.
    const int status = std::system(command.c_str());
    setenv("LOCPATH", folder, 1);
    if (!available())
        return {"", "localedef could not compile " + std::string(name) + " (status " +
                        std::to_string(status) + "); tools/setup.sh installs the locales package"};
    return {folder, ""};
}

const outcome& prepared() {
    static const outcome once = prepare();
    return once;
}

} // namespace

std::string turkish_locale() {
    const outcome& o = prepared();
    if (!o.error.empty()) {
        ADD_FAILURE() << o.error;
        return {};
    }
    return name;
}

bool use_turkish_locale() {
    const std::string locale = turkish_locale();
    if (locale.empty())
        return false;
    VELMORA_LSAN_DISABLE();
    const bool set = std::setlocale(LC_ALL, locale.c_str()) != nullptr;
    VELMORA_LSAN_ENABLE();
    return set;
}

std::vector<std::string> turkish_environment() {
    std::vector<std::string> env = {"LC_ALL=" + turkish_locale()};
    if (!prepared().folder.empty())
        env.push_back("LOCPATH=" + prepared().folder);
    return env;
}

} // namespace test_support
