// The record of announced messages: per server and user, pruned to what it
// is given, 0600 in a 0700 folder, replaced whole, and read back sceptically.
#include "settings/announced_mail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class AnnouncedMailTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/announced-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        root = name;
        dir = root / "state" / "postwren";
    }
    void TearDown() override { fs::remove_all(root); }

    static mode_t Mode(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0);
        return st.st_mode & 0777;
    }

    fs::path root;
    fs::path dir;
};

TEST_F(AnnouncedMailTest, KeepsOnlyWhatItIsGivenPerMailbox) {
    const AnnouncedMail alice(dir, "pop.example.org", "alice");
    EXPECT_FALSE(alice.Load().has_value());  // never checked: all is new

    ASSERT_EQ(alice.Save({"u1", "u2", "u3"}), 0);
    EXPECT_EQ(alice.Load(), (std::set<std::string>{"u1", "u2", "u3"}));
    // u1 left the server: the next record no longer holds it.
    ASSERT_EQ(alice.Save({"u2", "u3", "u4"}), 0);
    EXPECT_EQ(alice.Load(), (std::set<std::string>{"u2", "u3", "u4"}));
    // An empty mailbox is a record too, not "never checked".
    ASSERT_EQ(alice.Save({}), 0);
    EXPECT_EQ(alice.Load(), std::set<std::string>{});

    // Another user or server on the same machine has a record of its own.
    const AnnouncedMail bob(dir, "pop.example.org", "bob");
    const AnnouncedMail otherServer(dir, "mail.example.org", "alice");
    EXPECT_NE(bob.Path(), alice.Path());
    EXPECT_NE(otherServer.Path(), alice.Path());
    EXPECT_FALSE(bob.Load().has_value());
    EXPECT_FALSE(otherServer.Load().has_value());

    EXPECT_EQ(Mode(alice.Path()), 0600u);
    EXPECT_EQ(Mode(dir), 0700u);
    // One replace, no temporary file left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(AnnouncedMailTest, ReadsADamagedOrForeignFileSafely) {
    const AnnouncedMail alice(dir, "pop.example.org", "alice");
    ASSERT_EQ(alice.Save({"good", std::string("bad\nline"), "bad id", std::string(71, 'x')}), 0);
    EXPECT_EQ(alice.Load(), std::set<std::string>{"good"});

    // Lines that are no uid (a damaged disk, a hand edit) are skipped.
    { std::ofstream(alice.Path(), std::ios::app) << "has space\n\x01\x02\n" << std::string(100, 'y') << "\nok2"; }
    EXPECT_EQ(alice.Load(), (std::set<std::string>{"good", "ok2"}));

    // A file that names another mailbox (or is no record at all) counts as none.
    { std::ofstream(alice.Path(), std::ios::trunc) << "# Postwren: messages announced\nserver x\nuser y\ngood\n"; }
    EXPECT_FALSE(alice.Load().has_value());

    // A folder that cannot be made fails the save with its reason, and no record appears.
    std::ofstream(root / "blocker") << "a file";
    const AnnouncedMail blocked(root / "blocker" / "postwren", "s", "u");
    EXPECT_NE(blocked.Save({"a"}), 0);
    EXPECT_FALSE(blocked.Load().has_value());
}

TEST_F(AnnouncedMailTest, LivesUnderTheStateDirectory) {
    const char* old = std::getenv("XDG_STATE_HOME");
    const std::string saved = old ? old : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_STATE_HOME", (root / "xdg").c_str(), 1);
    EXPECT_EQ(AnnouncedMail::DefaultDirectory(), root / "xdg" / "postwren");
    // A relative value is no XDG base directory.
    ::setenv("XDG_STATE_HOME", "relative", 1);
    ::setenv("HOME", root.c_str(), 1);
    EXPECT_EQ(AnnouncedMail::DefaultDirectory(), root / ".local" / "state" / "postwren");
    ::setenv("HOME", home.c_str(), 1);
    if (old)
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
