// Tests of following a user's path (links at every step, "..") and of the one writer of files:
// generated trees of folders and links checked against a walk of their own, and the attacks of
// a user who plants links or files in a shared folder.
#include "TK/tk_fpath.h"

#include "TK/tk_excep.h"
#include "TK/tk_rfile.h"
#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr uid_t other = test_support::unprivileged_uid;

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The kernel's protected-symlinks rule, written from its description: following a link whose
// folder is sticky and writable by everyone is allowed only to the link's owner and to the
// folder's owner.
bool rule_allows(const struct stat& link, const struct stat& folder, uid_t follower) {
    const bool sticky_shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    return !sticky_shared || link.st_uid == follower || link.st_uid == folder.st_uid;
}

// The oracle: a walk over path texts with lstat, on a path kept free of links so that ".." is
// the parent of the folder actually reached. Returns the final path, or nothing when a link is
// refused; "error" when a folder on the way is missing or a loop is met.
std::optional<std::string> oracle(const std::string& path, uid_t follower) {
    std::vector<std::string> pending;
    const auto push = [&](const std::string& text) {
        std::vector<std::string> names;
        std::stringstream in(text);
        for (std::string name; std::getline(in, name, '/');) {
            if (!name.empty() && name != ".") {
                names.push_back(name);
            }
        }
        pending.insert(pending.begin(), names.begin(), names.end());
    };
    push(path);
    std::vector<std::string> at; // absolute, link-free
    const auto text = [&](std::size_t count) {
        std::string t;
        for (std::size_t i = 0; i < count; ++i) {
            t += "/" + at[i];
        }
        return t.empty() ? std::string("/") : t;
    };
    int hops = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.erase(pending.begin());
        if (name == "..") {
            if (!at.empty()) {
                at.pop_back();
            }
            continue;
        }
        at.push_back(name);
        const std::string here = text(at.size());
        struct stat st {};
        if (lstat(here.c_str(), &st) != 0) {
            if (pending.empty()) {
                return here;
            }
            return std::string("error");
        }
        if (!S_ISLNK(st.st_mode)) {
            if (!pending.empty() && !S_ISDIR(st.st_mode)) {
                return std::string("error");
            }
            continue;
        }
        struct stat folder {};
        lstat(text(at.size() - 1).c_str(), &folder);
        if (!rule_allows(st, folder, follower)) {
            return std::nullopt;
        }
        if (++hops > 40) {
            return std::string("error");
        }
        const std::string target = fs::read_symlink(here).string();
        at.pop_back();
        if (target.front() == '/') {
            at.clear();
        }
        push(target);
    }
    return text(at.size());
}

// A generated tree: folders of every kind (shared sticky ones of root and of another user,
// world-writable non-sticky, plain), links of root and of the other user naming folders and
// files inside and outside, with "..", relative and absolute, a file in every folder.
class generated_tree {
public:
    generated_tree(const std::string& root, unsigned seed) : root_(root), random_(seed) {
        const struct {
            mode_t mode;
            uid_t owner;
        } kinds[] = {{01777, 0}, {01777, other}, {0777, 0}, {0755, 0}, {0755, other}};
        fs::create_directory(root_);
        chmod(root_.c_str(), 0755);
        folders_ = {root_};
        for (int i = 0; i < 7; ++i) {
            const std::string parent = pick(folders_);
            const std::string folder = parent + "/d" + std::to_string(i);
            const auto& kind = kinds[random_() % std::size(kinds)];
            fs::create_directory(folder);
            chmod(folder.c_str(), kind.mode);
            chown(folder.c_str(), kind.owner, kind.owner);
            folders_.push_back(folder);
        }
        for (const std::string& folder : folders_) {
            std::ofstream(folder + "/f") << "file of " << folder;
            chmod((folder + "/f").c_str(), 0644);
            files_.push_back(folder + "/f");
        }
        for (int i = 0; i < 10; ++i) {
            const std::string at = pick(folders_) + "/l" + std::to_string(i);
            const std::string names = link_text(at);
            symlink(names.c_str(), at.c_str());
            const uid_t owner = random_() % 2 ? other : 0;
            lchown(at.c_str(), owner, owner);
            links_.push_back(at);
        }
    }

    // A path from the tree's root through folders, links, ".." and ".", ending in a name.
    std::string path() {
        std::string text = root_;
        const int steps = 1 + static_cast<int>(random_() % 5);
        for (int i = 0; i < steps; ++i) {
            switch (random_() % 6) {
            case 0:
                text += "/..";
                break;
            case 1:
                text += "/" + relative_name(pick(links_));
                break;
            case 2:
                text += "/.";
                break;
            default:
                text += "/" + relative_name(pick(folders_));
                break;
            }
        }
        return text + (random_() % 3 == 0 ? "/new" : "/f");
    }

    const std::vector<std::string>& files() const { return files_; }

private:
    const std::string& pick(const std::vector<std::string>& from) {
        return from[random_() % from.size()];
    }
    std::string relative_name(const std::string& path) const {
        return fs::path(path).filename().string();
    }
    std::string link_text(const std::string& at) {
        const std::string& to = random_() % 4 == 0 ? pick(files_) : pick(folders_);
        switch (random_() % 3) {
        case 0:
            return to;
        case 1:
            return fs::relative(to, fs::path(at).parent_path()).string();
        default:
            return "../" + fs::path(to).filename().string();
        }
    }

    std::string root_;
    std::mt19937 random_;
    std::vector<std::string> folders_;
    std::vector<std::string> files_;
    std::vector<std::string> links_;
};

class tk_fpath_test : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tk-fpath-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = fs::canonical(pattern).string();
        chmod(dir_.c_str(), 0755);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string dir_;
};

// What a path leads to: the oracle's path, "refused", or "error".
std::string followed(const std::string& path) {
    try {
        tk_followed_path at;
        if (tk_follow_path(path, at) != 0) {
            return "error";
        }
        return at.text;
    } catch (const tk_exception& e) {
        return e.message.find("is not followed") != std::string::npos ? "refused" : "error";
    }
}

// Every file in the tree with its text, to see what a write changed.
std::map<std::string, std::string> contents(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            all[entry.path().string()] = read(entry.path().string());
        }
    }
    return all;
}

// Trees built (as root, who can give links and folders to the other user) under `dir`, and
// paths through them.
std::vector<std::string> generated_paths(const std::string& dir, unsigned first_seed) {
    std::vector<std::string> paths;
    for (unsigned seed = first_seed; seed < first_seed + 12; ++seed) {
        generated_tree tree(dir + "/t" + std::to_string(seed), seed);
        for (int n = 0; n < 40; ++n) {
            paths.push_back(tree.path());
        }
    }
    return paths;
}

// Each path is followed exactly where the rule lets the caller follow it, to the file the
// oracle finds; and a write through the path changes that file and nothing else.
std::string check_paths(const std::string& dir, const std::vector<std::string>& paths) {
    test_support::unprivileged_checks checks;
    const uid_t me = geteuid();
    for (const std::string& path : paths) {
        const std::optional<std::string> expected = oracle(path, me);
        const std::string want = expected ? *expected : "refused";
        const std::string got = followed(path);
        checks.check(got == want, path + " gave " + got + " but the rule gives " + want);
        if (got == "error" || got != want) {
            continue;
        }
        const auto before = contents(dir);
        bool written = false;
        try {
            tk_replace_file_contents(path, "file", "written by " + std::to_string(me));
            written = true;
        } catch (const tk_exception&) {
        }
        for (const auto& [file, text] : contents(dir)) {
            const auto old = before.find(file);
            const bool changed = old == before.end() || old->second != text;
            checks.check(!changed || (written && file == want),
                         path + " changed " + file + " (the rule gives " + want + ")");
        }
        checks.check(!written || want != "refused", path + " was written though refused");
    }
    return checks.text();
}

TEST_F(tk_fpath_test, GeneratedPathsFollowLinksExactlyAsTheRuleAllows) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give links and folders to another user";
    }
    EXPECT_EQ(check_paths(dir_, generated_paths(dir_, 1)), "");
    const std::vector<std::string> paths = generated_paths(dir_, 101);
    EXPECT_TRUE(test_support::run_unprivileged([&] { return check_paths(dir_, paths); }));
}

// What a path leads to, with "..", ".", a closing slash, missing folders and a file on the way.
TEST_F(tk_fpath_test, PathsLeadToTheFolderActuallyReached) {
    fs::create_directories(dir_ + "/a/b");
    fs::create_directory(dir_ + "/elsewhere");
    std::ofstream(dir_ + "/a/file") << "x";
    // ".." after a link leaves the folder the link led to, not the one the link is in.
    ASSERT_EQ(symlink((dir_ + "/elsewhere").c_str(), (dir_ + "/a/b/to").c_str()), 0);
    const struct {
        std::string path;
        std::string leads_to; // or the errno's name
    } cases[] = {
        {dir_ + "/a/b/../file", dir_ + "/a/file"},
        {dir_ + "/a/./b/", dir_ + "/a/b/"},
        {dir_ + "/a/b/to/../a/new", dir_ + "/a/new"},
        {dir_ + "/a/b/to/new", dir_ + "/elsewhere/new"},
        {dir_ + "/a/b/..", dir_ + "/a/"},
        {"/..", "/"},
        {dir_ + "/missing/new", "ENOENT"},
        {dir_ + "/a/file/new", "ENOTDIR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        tk_followed_path at;
        const int error = tk_follow_path(c.path, at);
        const std::string got = error == ENOENT    ? "ENOENT"
                                : error == ENOTDIR ? "ENOTDIR"
                                : error != 0       ? std::to_string(error)
                                                   : at.text;
        EXPECT_EQ(got, c.leads_to);
    }
}

// The one writer never opens another user's file, in any mode, and changes nothing of it; its
// own files it opens as asked.
TEST_F(tk_fpath_test, AnotherUsersFileIsNeverOpenedForWriting) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another user";
    }
    const std::string theirs = dir_ + "/theirs";
    std::ofstream(theirs) << "their text";
    ASSERT_EQ(chown(theirs.c_str(), other, other), 0);
    const std::string mine = dir_ + "/mine";
    std::ofstream(mine) << "my text";
    for (const tk_write_mode how :
         {tk_write_mode::append, tk_write_mode::truncate, tk_write_mode::create_new}) {
        try {
            const tk_fd fd = tk_open_for_writing(theirs, how, 0600);
            EXPECT_FALSE(fd.valid());
            EXPECT_EQ(errno, EEXIST) << "only creating anew fails without a word";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.message, "'" + theirs + "' belongs to another user");
        }
        EXPECT_EQ(read(theirs), "their text");
    }
    EXPECT_THROW(tk_replace_file_contents(theirs, "file", "new"), tk_exception);
    EXPECT_EQ(read(theirs), "their text");
    struct stat st {};
    ASSERT_EQ(stat(theirs.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, other);

    ASSERT_TRUE(tk_open_for_writing(mine, tk_write_mode::append, 0600).valid());
    EXPECT_EQ(read(mine), "my text");
    ASSERT_TRUE(tk_open_for_writing(mine, tk_write_mode::truncate, 0600).valid());
    EXPECT_EQ(read(mine), "");
}

// A hard link is no symbolic link, and the file it names may well be the caller's own: one that
// another user could have made in a shared sticky folder (the kernel's protected-hardlinks rule
// can be off) is never written into, so a trace log named there cannot empty or grow a file of
// the caller's that lives elsewhere. The caller's own hard links outside such a folder are
// written as any file.
TEST_F(tk_fpath_test, AHardLinkInASharedFolderIsNeverWrittenInto) {
    fs::create_directory(dir_ + "/shared");
    ASSERT_EQ(chmod((dir_ + "/shared").c_str(), 01777), 0);
    fs::create_directory(dir_ + "/private");
    const std::string secret = dir_ + "/private/secret";
    std::ofstream(secret) << "secret text";
    const std::string planted = dir_ + "/shared/victim.log";
    ASSERT_EQ(link(secret.c_str(), planted.c_str()), 0);
    for (const tk_write_mode how : {tk_write_mode::append, tk_write_mode::truncate}) {
        try {
            const tk_fd fd = tk_open_for_writing(planted, how, 0600);
            ADD_FAILURE() << "a hard link in a shared folder was opened for writing";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.message, "'" + planted + "' has other links in a shared folder");
        }
        EXPECT_EQ(read(secret), "secret text");
    }
    // Replacing the name leaves the file the link shared alone.
    tk_replace_file_contents(planted, "file", "new");
    EXPECT_EQ(read(planted), "new");
    EXPECT_EQ(read(secret), "secret text");

    const std::string mine = dir_ + "/private/mine";
    ASSERT_EQ(link(secret.c_str(), mine.c_str()), 0);
    EXPECT_TRUE(tk_open_for_writing(mine, tk_write_mode::append, 0600).valid());
    const std::string alone = dir_ + "/shared/alone.log";
    std::ofstream(alone) << "x";
    EXPECT_TRUE(tk_open_for_writing(alone, tk_write_mode::truncate, 0600).valid());
    EXPECT_EQ(read(alone), "");
}

// A folder on the way swapped for a link after the path was followed redirects nothing: the
// script, its lock and its temporary file stay in the folder first reached.
TEST_F(tk_fpath_test, AFolderSwappedForALinkLaterRedirectsNothing) {
    fs::create_directory(dir_ + "/work");
    fs::create_directory(dir_ + "/victim");
    std::ofstream(dir_ + "/victim/out.sql") << "victim's";
    tk_replaced_file file(dir_ + "/work/out.sql", "script file");
    fs::rename(dir_ + "/work", dir_ + "/moved");
    ASSERT_EQ(symlink((dir_ + "/victim").c_str(), (dir_ + "/work").c_str()), 0);
    std::ofstream(file.write_path(), std::ios::binary) << "script";
    file.commit();
    EXPECT_EQ(read(dir_ + "/moved/out.sql"), "script");
    EXPECT_EQ(read(dir_ + "/victim/out.sql"), "victim's");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/moved"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/victim"), fs::directory_iterator()), 1);
}

} // namespace
