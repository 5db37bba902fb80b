// The password in a real GNOME Keyring on a private session bus (keyring.sh),
// through the program's own Secret Service client and settings: items as
// other clients see them (secret-tool), a locked keyring, a bus without a
// keyring and one whose keyring never answers, a move into the keyring
// killed at any point, and postwren-check on the stored settings against a
// scripted server.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "core/hive_file.h"
#include "core/registry.h"
#include "session/secret_service.h"
#include "settings/keyring_password.h"
#include "settings/settings_store.h"
#include "tests/support/fake_secret_store.h"
#include "tests/support/password_forms.h"
#include "tests/support/recording_log.h"
#include "tests/support/scripted_pop3_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using platform::SecretStatus;
using testing_support::Expect;
using testing_support::ScriptedPop3Server;
using testing_support::Send;

constexpr int kProcessLimitMs = 30000;
constexpr int kKills = 60;
// Kills go on past kKills until this many landed on each side of the move's
// change of the file, up to kMaxKills.
constexpr int kEachSide = 5;
constexpr int kMaxKills = 400;
constexpr char kUnreadable[] = "キーリングからパスワードを読めませんでした";

// The settings of the earlier build's file (settings/fixtures/user.reg).
const AnsiString kFixtureHost = "\x83\x81\x81\x5B\x83\x8B.example.jp";
const AnsiString kFixturePassword =
    "\xFA\x40\xFA\x42"
    "Ab1"
    "\x83\x70\x83\x58"
    "zz";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

struct Ran {
    int status = -1;  // -1: did not end normally in time
    std::string out;
    std::string err;
};

// Runs a program to its end (at most kProcessLimitMs), with extra variables.
Ran run(const QString& program, const QStringList& args, const QProcessEnvironment& env = {}) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& k : env.keys()) e.insert(k, env.value(k));
    p.setProcessEnvironment(e);
    p.start(program, args);
    if (!p.waitForStarted(kProcessLimitMs))
        return {};
    p.closeWriteChannel();
    if (!p.waitForFinished(kProcessLimitMs)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

Ran keyringScript(const char* action, const std::string& dir, QStringList extra = {}) {
    return run(QStringLiteral(POSTWREN_KEYRING_SH),
               QStringList{QString::fromLatin1(action), QStringLiteral("--dir"), QString::fromStdString(dir)} + extra);
}

std::string addressIn(const std::string& dir) {
    std::string line;
    std::ifstream(dir + "/bus.address") >> line;
    return line;
}

class Keyring : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Before the first use of the session bus in this process.
        const std::string address = addressIn(kDir);
        ASSERT_FALSE(address.empty()) << "no keyring in " << kDir << " (keyring_start runs first)";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "postwren-keyring-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        tmp = tmpl;
        // Whatever an earlier test left: each starts from an empty keyring.
        platform::SecretService cleaner;
        cleaner.Clear({{kKeyringAttributeApplication, kKeyringApplication}});
    }
    void TearDown() override { fs::remove_all(tmp); }

    static void lock() { ASSERT_EQ(keyringScript("lock", kDir).status, 0); }
    static void unlock() { ASSERT_EQ(keyringScript("unlock", kDir).status, 0); }

    static inline const std::string kDir = std::string(POSTWREN_KEYRING_DIR) + "/main";
    fs::path tmp;
};

TEST_F(Keyring, OneItemWithItsLabelAttributesAndUtf8SecretAsOtherClientsSeeIt) {
    platform::SecretService secrets;
    const platform::SecretAttributes attributes = KeyringAttributes(kFixtureHost, "taro");
    const std::string label = KeyringLabel(kFixtureHost, "taro");
    ASSERT_EQ(secrets.Store(label, attributes, "first"), SecretStatus::Ok);
    ASSERT_EQ(secrets.Store(label, attributes, "pässwörd ⅰパス"), SecretStatus::Ok);  // replaces it
    std::string secret;
    ASSERT_EQ(secrets.Lookup(attributes, secret), SecretStatus::Ok);
    EXPECT_EQ(secret, "pässwörd ⅰパス");

    const Ran found = run(QStringLiteral("secret-tool"), {"search", "--all", "application", "postwren"});
    ASSERT_EQ(found.status, 0) << found.err;
    // secret-tool writes the attributes to its standard error.
    const std::string listed = found.out + found.err;
    EXPECT_NE(listed.find("label = Postwren: taro@メール.example.jp\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("secret = pässwörd ⅰパス\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("attribute.application = postwren\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("attribute.server = メール.example.jp\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("attribute.user = taro\n"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("secret = first"), std::string::npos) << "two items: " << listed;

    EXPECT_EQ(secrets.Clear(attributes), SecretStatus::Ok);
    EXPECT_EQ(secrets.Lookup(attributes, secret), SecretStatus::NotFound);
    EXPECT_EQ(secrets.Clear(attributes), SecretStatus::NotFound);
    EXPECT_EQ(secrets.PromptsShown(), 0);
}

TEST_F(Keyring, ALockedKeyringIsPromptedForOnceAndThenSaidLockedUntilUnlocked) {
    const platform::SecretAttributes attributes = KeyringAttributes("pop.example.jp", "taro");
    {
        platform::SecretService before;
        ASSERT_EQ(before.Store("x", attributes, "secret"), SecretStatus::Ok);
    }
    lock();
    platform::SecretService secrets;
    std::string secret;
    // Nobody answers the prompt on this bus: the service reports it dismissed.
    EXPECT_EQ(secrets.Lookup(attributes, secret), SecretStatus::Locked);
    EXPECT_EQ(secrets.PromptsShown(), 1);
    EXPECT_EQ(secrets.Lookup(attributes, secret), SecretStatus::Locked);
    EXPECT_EQ(secrets.Store("x", attributes, "other"), SecretStatus::Locked);
    EXPECT_EQ(secrets.Clear(attributes), SecretStatus::Locked);
    EXPECT_EQ(secrets.PromptsShown(), 1);
    unlock();
    EXPECT_EQ(secrets.Lookup(attributes, secret), SecretStatus::Ok);
    EXPECT_EQ(secret, "secret");
    EXPECT_EQ(secrets.PromptsShown(), 1);
}

TEST_F(Keyring, TheSettingsKeepNoFormOfThePasswordAndReadItBackFromTheKeyring) {
    platform::SecretService secrets;
    RecordingLog notes;
    platform::HiveFile hive(tmp / "user.reg");
    TRegistry registry(hive);
    const AnsiString password = Sjis("パスワードⅰ①");
    {
        PasswordKeeper keeper(secrets, notes);
        ASSERT_TRUE(
            keeper.Save(registry, StoredSettings{kFixtureHost, "taro", password, 15, "/m"}, DefaultScrambleKey));
    }
    const std::string file = slurp(tmp / "user.reg");
    const auto form = testing_support::passwordFormIn(file, password);
    EXPECT_FALSE(form.has_value()) << "the " << *form << " form is in the file:\n" << file;
    EXPECT_NE(file.find("\"PasswordInKeyring\"=dword:00000001"), std::string::npos) << file;

    const Ran looked = run(QStringLiteral("secret-tool"),
                           {"lookup", "application", "postwren", "server", "メール.example.jp", "user", "taro"});
    EXPECT_EQ(looked.out, "パスワードⅰ①");

    PasswordKeeper later(secrets, notes);
    StoredSettings loaded;
    ASSERT_EQ(later.Load(registry, loaded, DefaultScrambleKey).status, SettingsLoadStatus::Loaded);
    EXPECT_EQ(later.PasswordForCheck(loaded.password), password);
    EXPECT_TRUE(notes.lines.empty()) << notes.lines.front();
}

// Every kill of a move into the keyring leaves the password in the file (as
// the earlier build wrote it) or in the keyring with the file saying so.
TEST_F(Keyring, AMoveIntoTheKeyringKilledAnywhereLeavesThePasswordReadable) {
    const fs::path fixture = fs::path(POSTWREN_SETTINGS_FIXTURES) / "user.reg";
    const std::string stored = slurp(fixture);
    ASSERT_FALSE(stored.empty()) << fixture;
    const fs::path file = tmp / "user.reg";
    const platform::SecretAttributes attributes = KeyringAttributes(kFixtureHost, "taro");
    platform::SecretService secrets;

    // Starts a mover on a fresh copy of the fixture; true once it said "ready".
    QProcess mover;
    const auto startMover = [&] {
        spit(file, stored);
        secrets.Clear(attributes);
        mover.start(QStringLiteral(KEYRING_CLIENT_BIN), {"migrate", QString::fromStdString(file.string())});
        return mover.waitForReadyRead(kProcessLimitMs) && mover.readLine().trimmed() == "ready";
    };
    int inFile = 0, inBoth = 0, moved = 0;
    // What the file and the keyring hold now; false when the password is in neither.
    const auto readable = [&](int kill) {
        platform::HiveFile hive(file);
        TRegistry registry(hive);
        StoredSettings s;
        EXPECT_EQ(LoadSettings(registry, s, DefaultScrambleKey).status, SettingsLoadStatus::Loaded) << kill;
        EXPECT_EQ(s.host, kFixtureHost) << kill;
        EXPECT_EQ(s.cycle, 15) << kill;
        EXPECT_EQ(s.mailer, "/usr/bin/sylpheed") << kill;
        std::string secret;
        const bool itemThere = secrets.Lookup(attributes, secret) == SecretStatus::Ok;
        if (!s.passwordInKeyring) {
            (itemThere ? inBoth : inFile) += 1;
            return s.password == kFixturePassword;
        }
        ++moved;
        return s.password.empty() && itemThere && secret == Cp932ToUtf8(kFixturePassword);
    };

    // One whole move: how long it takes, and where it leaves the password.
    ASSERT_TRUE(startMover());
    const auto go = Clock::now();
    mover.write("go\n");
    ASSERT_TRUE(mover.waitForFinished(kProcessLimitMs));
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - go);
    ASSERT_EQ(mover.exitCode(), 0) << mover.readAllStandardError().toStdString();
    ASSERT_TRUE(readable(-1));
    ASSERT_EQ(moved, 1);
    EXPECT_FALSE(testing_support::passwordFormIn(slurp(file), kFixturePassword).has_value()) << slurp(file);
    moved = 0;

    // Kills spread over the move and a little after it, spun, not slept. How
    // long a move takes varies a lot on a busy machine: when kills late in
    // the spread still find the file unchanged, the spread grows.
    auto spread = whole * 2;
    int kill = 0;
    for (; kill < kMaxKills && (kill < kKills || moved < kEachSide || inFile + inBoth < kEachSide); ++kill) {
        ASSERT_TRUE(startMover()) << kill;
        const auto delay = spread * (kill * 7919 % 1000) / 1000;
        mover.write("go\n");
        mover.waitForBytesWritten(kProcessLimitMs);
        const auto until = Clock::now() + delay;
        while (Clock::now() < until) {
        }
        mover.kill();
        ASSERT_TRUE(mover.waitForFinished(kProcessLimitMs)) << kill;
        const int movedBefore = moved;
        ASSERT_TRUE(readable(kill)) << "kill " << kill << " after " << delay.count() << " us: the password is lost";
        if (moved == movedBefore && delay > spread * 3 / 4)
            spread = spread * 3 / 2;
    }
    std::cout << kill << " kills, the last over " << spread.count() << " us (one whole move took " << whole.count()
              << " us): " << inFile << " left it in the file, " << inBoth << " in both, " << moved << " moved\n";
    RecordProperty("KilledBeforeTheFileChanged", inFile + inBoth);
    RecordProperty("KilledAfterTheMove", moved);
    // The kills reached both sides of the change of the file.
    EXPECT_GE(inFile + inBoth, kEachSide);
    EXPECT_GE(moved, kEachSide);
}

TEST_F(Keyring, PostwrenCheckSendsThePasswordItReadsFromTheKeyring) {
    // The settings as the program saves them, in a configuration of their own.
    const fs::path config = tmp / "config";
    platform::HiveFile hive(config / "postwren" / "user.reg");
    TRegistry registry(hive);
    platform::SecretService secrets;
    RecordingLog notes;
    PasswordKeeper keeper(secrets, notes);
    ASSERT_TRUE(keeper.Save(registry, StoredSettings{"127.0.0.1", "alice", "w0nder-land", 10, ""}, DefaultScrambleKey));
    ASSERT_TRUE(keeper.InKeyring());
    ScriptedPop3Server server;
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS w0nder-land", "+OK\r\n"),
                       Expect("STAT", "+OK 3 900\r\n"), Expect("QUIT", "+OK\r\n")});
    QProcessEnvironment env;
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));
    const QStringList args{"--port", QString::number(server.Port()), "--timeout", "10"};

    Ran checked = run(QStringLiteral(POSTWREN_CHECK_BIN), args, env);
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "3\n");
    for (const std::string& line : server.Mismatches(0)) ADD_FAILURE() << "the server got: " << line;

    lock();
    checked = run(QStringLiteral(POSTWREN_CHECK_BIN), args, env);
    unlock();
    EXPECT_EQ(checked.status, 2) << checked.err;
    EXPECT_EQ(checked.out, "");
    EXPECT_NE(checked.err.find(kUnreadable), std::string::npos) << checked.err;

    ASSERT_EQ(secrets.Clear(KeyringAttributes("127.0.0.1", "alice")), SecretStatus::Ok);
    checked = run(QStringLiteral(POSTWREN_CHECK_BIN), args, env);
    EXPECT_EQ(checked.status, 2) << checked.err;
    EXPECT_NE(checked.err.find(kUnreadable), std::string::npos) << checked.err;
    // Neither failure reached the server.
    EXPECT_EQ(server.Connections(), 1);
}

// Buses of their own: one with no keyring on it, one whose keyring never answers.
TEST_F(Keyring, NoKeyringOnTheBusAndAKeyringThatNeverAnswersEndAtOnceAndWithinTheBound) {
    const std::string dir = (tmp / "bus").string();
    ASSERT_EQ(keyringScript("start", dir, {"--no-keyring"}).status, 0);
    QProcessEnvironment env;
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(addressIn(dir)));
    const Ran none = run(QStringLiteral(KEYRING_CLIENT_BIN), {"lookup"}, env);
    EXPECT_EQ(none.out.substr(0, none.out.find(' ')), "NoService") << none.out << none.err;

    QProcess silent;
    silent.setProcessEnvironment([&] {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DBUS_SESSION_BUS_ADDRESS", env.value("DBUS_SESSION_BUS_ADDRESS"));
        return e;
    }());
    const fs::path ready = tmp / "silent.ready";
    silent.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(POSTWREN_SILENT_SECRETS), QString::fromStdString(ready.string())});
    const auto deadline = Clock::now() + std::chrono::milliseconds(kProcessLimitMs);
    while (!fs::exists(ready) && Clock::now() < deadline && silent.state() != QProcess::NotRunning)
        silent.waitForFinished(50);
    ASSERT_TRUE(fs::exists(ready)) << silent.readAllStandardError().toStdString();

    const Ran hung = run(QStringLiteral(KEYRING_CLIENT_BIN), {"lookup", "--bound-ms", "400"}, env);
    silent.kill();
    silent.waitForFinished();
    keyringScript("stop", dir);
    std::istringstream fields(hung.out);
    std::string status;
    long long took = 0;
    int ticks = 0;
    fields >> status >> took >> ticks;
    EXPECT_EQ(status, "Failed") << hung.out << hung.err;
    // It waited for the service rather than giving up at once...
    EXPECT_GE(took, 350);
    // The message loop turned all the while.
    EXPECT_GT(ticks, 0);
}

// A keyring whose unlock prompt never completes: postwren-check --timeout 3
// gives up on it within its time-out (it used to wait the prompt's own 60 s).
TEST_F(Keyring, AnUnlockPromptThatNeverCompletesEndsWithinTheTimeout) {
    const std::string dir = (tmp / "bus").string();
    ASSERT_EQ(keyringScript("start", dir, {"--no-keyring"}).status, 0);
    QProcess stalled;
    // The bus and the service go on every way out, a failed assertion's too.
    struct Stop {
        const std::string& dir;
        QProcess& service;
        ~Stop() {
            service.kill();
            service.waitForFinished();
            keyringScript("stop", dir);
        }
    } stop{dir, stalled};
    QProcessEnvironment env;
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(addressIn(dir)));
    stalled.setProcessEnvironment([&] {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("DBUS_SESSION_BUS_ADDRESS", env.value("DBUS_SESSION_BUS_ADDRESS"));
        return e;
    }());
    const fs::path ready = tmp / "stalled.ready";
    stalled.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral(POSTWREN_STALLED_PROMPT_SECRETS), QString::fromStdString(ready.string())});
    const auto deadline = Clock::now() + std::chrono::milliseconds(kProcessLimitMs);
    while (!fs::exists(ready) && Clock::now() < deadline && stalled.state() != QProcess::NotRunning)
        stalled.waitForFinished(50);
    ASSERT_TRUE(fs::exists(ready)) << stalled.readAllStandardError().toStdString();

    // Settings that keep the password in the keyring.
    const fs::path config = tmp / "config";
    platform::HiveFile hive(config / "postwren" / "user.reg");
    TRegistry registry(hive);
    FakeSecretStore saved;
    saved.running = true;
    RecordingLog notes;
    PasswordKeeper keeper(saved, notes);
    ASSERT_TRUE(keeper.Save(registry, StoredSettings{"127.0.0.1", "alice", "w0nder-land", 10, ""}, DefaultScrambleKey));
    ASSERT_TRUE(keeper.InKeyring());
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));

    const auto started = Clock::now();
    const Ran checked = run(QStringLiteral(POSTWREN_CHECK_BIN), {"--port", "1", "--timeout", "3"}, env);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_EQ(checked.status, 2) << checked.err;
    EXPECT_NE(checked.err.find(kUnreadable), std::string::npos) << checked.err;
    // Three seconds and a start: far from the prompt's own minute.
    EXPECT_LT(took.count(), 15000);
}

}  // namespace
