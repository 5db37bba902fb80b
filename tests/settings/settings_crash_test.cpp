// Saves cut short by SIGKILL and saves racing each other, with real writer
// processes (settings_writer) on a real file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/hive_document.h"
#include "core/hive_file.h"
#include "core/registry.h"
#include "settings/settings_store.h"
#include "tests/support/hive_values.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kKills = 200;
constexpr int kRaces = 100;
constexpr int kSavesPerRacer = 3;
// Loads against a writer that saves all the time; and how many of them must
// have seen a new generation, so that saves really landed among the loads.
constexpr int kRacingLoads = 300;
constexpr int kMinGenerationChanges = 20;
constexpr auto kDeadline = std::chrono::seconds(20);

// A writer process with its standard input and output on pipes.
class Writer {
public:
    explicit Writer(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Writer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        closeStdin();
        if (stdout_ >= 0)
            ::close(stdout_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool started() const { return pid_ > 0; }
    void closeStdin() {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }

    // Waits, up to the deadline, until the writer has printed `lines` lines or
    // closed its output. The number of lines seen.
    int waitForLines(int lines, Clock::time_point deadline) {
        while (seen_ < lines && !closed_) {
            // Past the deadline, what is there already is still taken.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0)
                break;
            char buf[256];
            const ssize_t n = ::read(stdout_, buf, sizeof buf);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            for (ssize_t i = 0; i < n; ++i) seen_ += buf[i] == '\n';
        }
        return seen_;
    }

    void kill() { ::kill(pid_, SIGKILL); }
    // The exit status, or -1 when it was killed or did not end by the deadline.
    int wait(Clock::time_point deadline) {
        waitForLines(INT32_MAX, deadline);  // output closes when it ends
        int status = 0;
        if (!closed_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int seen_ = 0;
    bool closed_ = false;
};

// Spreads the kills over a save: a different short delay before each one.
// Spun, not slept, so the writer keeps running the whole time.
void spinFor(std::chrono::microseconds delay) {
    const auto until = Clock::now() + delay;
    while (Clock::now() < until) {
    }
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int temporaryFilesIn(const fs::path& dir) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().rfind("user.reg.tmp-", 0) == 0;
    return n;
}

// The generation all five stored values belong to; empty when they are mixed.
std::string generationOf(const StoredSettings& s) {
    const std::string g = s.host.substr(std::string("host-").size());
    const StoredSettings whole{"host-" + g, "user-" + g, "pass-" + g + "\xFA\xFE", s.cycle, "/mailer-" + g};
    return whole == s ? g : std::string();
}

class SettingsCrash : public testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "postwren-crash-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        file = dir / "user.reg";
    }
    void TearDown() override { fs::remove_all(dir); }

    StoredSettings load(SettingsLoadStatus& status) {
        platform::HiveFile hive(file);
        TRegistry registry(hive);
        StoredSettings s;
        status = LoadSettings(registry, s, DefaultScrambleKey).status;
        return s;
    }

    fs::path dir, file;
};

TEST_F(SettingsCrash, ASaveKilledAnywhereLeavesTheOldOrTheNewSetWhole) {
    // Something of another program's that every save must keep.
    std::ofstream(file) << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\"Keep\"=\"me\"\n";
    long generation = 1;
    std::string last;
    int killedWithTemp = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        Writer writer({SETTINGS_WRITER_BIN, "loop", file.string(), std::to_string(generation)});
        ASSERT_TRUE(writer.started());
        // Let it finish 1 to 4 saves, then kill it somewhere in the next one.
        const int saves = 1 + kill % 4;
        const int reported = writer.waitForLines(saves, Clock::now() + kDeadline);
        ASSERT_GE(reported, saves) << "kill " << kill;
        spinFor(std::chrono::microseconds(kill * 7919 % 2000));
        writer.kill();
        ASSERT_EQ(writer.wait(Clock::now() + kDeadline), -1);
        killedWithTemp += temporaryFilesIn(dir) > 0;

        SettingsLoadStatus status;
        const StoredSettings s = load(status);
        ASSERT_EQ(status, SettingsLoadStatus::Loaded) << "kill " << kill;
        const std::string g = generationOf(s);
        ASSERT_FALSE(g.empty()) << "kill " << kill << ": a mixed set, host " << s.host << " user " << s.user;
        // The last generation it reported, or one it saved after that.
        const long stored = std::stol(g);
        ASSERT_GE(stored, generation + reported - 1) << "kill " << kill;
        generation = stored + 1;
        const auto doc = platform::HiveDocument::Parse(slurp(file));
        ASSERT_TRUE(doc.has_value());
        platform::HiveValue keep;
        ASSERT_TRUE(doc->Find("Software\\Other", "Keep", keep)) << "kill " << kill;
        last = g;
    }
    // What killed writers left is cleaned up by the next save.
    Writer writer({SETTINGS_WRITER_BIN, "loop", file.string(), std::to_string(generation)});
    ASSERT_GE(writer.waitForLines(1, Clock::now() + kDeadline), 1);
    writer.kill();
    writer.wait(Clock::now() + kDeadline);
    EXPECT_LE(temporaryFilesIn(dir), 1);  // at most the one of the last kill
    std::cout << kKills << " kills, " << killedWithTemp << " of them left a temporary file behind\n";
    RecordProperty("KillsLeavingATemporaryFile", killedWithTemp);
}

TEST_F(SettingsCrash, ALoadWhileAnotherProcessSavesGetsOneSetWhole) {
    Writer writer({SETTINGS_WRITER_BIN, "loop", file.string(), "1"});
    ASSERT_TRUE(writer.started());
    ASSERT_GE(writer.waitForLines(1, Clock::now() + kDeadline), 1);
    const auto deadline = Clock::now() + kDeadline;
    int loads = 0;
    int changes = 0;
    std::string previous;
    while ((loads < kRacingLoads || changes < kMinGenerationChanges) && Clock::now() < deadline) {
        SettingsLoadStatus status;
        const StoredSettings s = load(status);
        ASSERT_EQ(status, SettingsLoadStatus::Loaded) << "load " << loads;
        const std::string g = generationOf(s);
        ASSERT_FALSE(g.empty()) << "load " << loads << ": a mixed set, host " << s.host << " user " << s.user
                                << " mailer " << s.mailer;
        ASSERT_EQ(s.cycle, std::stol(g) % 100 + 1) << "load " << loads << ": generation " << g;
        changes += !previous.empty() && g != previous;
        previous = g;
        ++loads;
        // Keep the writer's output flowing, or it stops saving.
        writer.waitForLines(INT32_MAX, Clock::now());
    }
    EXPECT_GE(loads, kRacingLoads);
    EXPECT_GE(changes, kMinGenerationChanges) << "too few saves landed among the loads";
    std::cout << loads << " loads, " << changes << " of them after a save of the other process\n";
}

TEST_F(SettingsCrash, TwoWritersAtOnceLoseNothingOfEachOther) {
    for (int race = 0; race < kRaces; ++race) {
        fs::remove(file);
        Writer a({SETTINGS_WRITER_BIN, "race", file.string(), "A", std::to_string(kSavesPerRacer)});
        Writer b({SETTINGS_WRITER_BIN, "race", file.string(), "B", std::to_string(kSavesPerRacer)});
        ASSERT_TRUE(a.started() && b.started());
        a.closeStdin();
        b.closeStdin();
        const auto deadline = Clock::now() + kDeadline;
        ASSERT_EQ(a.wait(deadline), 0) << "race " << race;
        ASSERT_EQ(b.wait(deadline), 0) << "race " << race;

        SettingsLoadStatus status;
        const StoredSettings s = load(status);
        ASSERT_EQ(status, SettingsLoadStatus::Loaded);
        const std::string g = generationOf(s);
        ASSERT_TRUE(g == "A" || g == "B") << "race " << race << ": host " << s.host << " user " << s.user;
        const auto doc = platform::HiveDocument::Parse(slurp(file));
        ASSERT_TRUE(doc.has_value());
        for (const char* name : {"A", "B"}) {
            platform::HiveValue n;
            ASSERT_TRUE(doc->Find(std::string("Software\\Race\\") + name, "n", n)) << "race " << race << " " << name;
            EXPECT_EQ(n, testing_support::dword(kSavesPerRacer)) << "race " << race << " " << name;
        }
    }
}

}  // namespace
