// postwren-check without --host checks the mailbox the resident program stored.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/hive_file.h"
#include "core/registry.h"
#include "settings/settings_store.h"
#include "tests/support/hive_values.h"
#include "tests/support/scripted_pop3_server.h"

namespace {

using testing_support::Expect;
using testing_support::ScriptedPop3Server;
using testing_support::Send;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class StoredCheck : public ::testing::Test {
protected:
    QTemporaryDir config;
    ScriptedPop3Server server;

    void Store(const AnsiString& host, const AnsiString& user, const AnsiString& password) {
        platform::HiveFile hive(std::filesystem::path(config.path().toStdString()) / "postwren" / "user.reg");
        TRegistry registry(hive);
        StoredSettings account;
        account.host = host;
        account.user = user;
        account.password = password;
        account.cycle = 5;
        ASSERT_TRUE(SaveSettings(registry, account, DefaultScrambleKey));
    }

    Outcome Run(const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        p.setProcessEnvironment(env);
        p.start(POSTWREN_CHECK_BIN, args);
        Outcome o;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return o;
        }
        o.exitCode = p.exitCode();
        o.out = p.readAllStandardOutput().toStdString();
        o.err = p.readAllStandardError().toStdString();
        return o;
    }
};

TEST_F(StoredCheck, UsesTheStoredServerUserAndUnscrambledPassword) {
    ASSERT_TRUE(config.isValid());
    // A password whose scrambled form differs from it in every byte.
    Store("127.0.0.1", "taro", "s3cret-pass");
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"), Expect("PASS s3cret-pass", "+OK\r\n"),
                       Expect("STAT", "+OK 3 900\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = Run({"--port", QString::number(server.Port()), "--timeout", "10"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "3\n");
    EXPECT_TRUE(server.Mismatches(0).empty());
}

// Settings that cannot be used are a usage error, not a refusal by a server.
TEST_F(StoredCheck, AStoredValueWithALineBreakIsRefusedBeforeConnecting) {
    ASSERT_TRUE(config.isValid());
    Store("127.0.0.1", "taro\r\nDELE 1", "secret");
    const Outcome o = Run({"--port", QString::number(server.Port()), "--timeout", "10"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err, "User ID contains a line break\n");
    EXPECT_EQ(o.out, "");

    Store("127.0.0.1\r\nx", "taro", "secret");
    const Outcome host = Run({"--port", QString::number(server.Port()), "--timeout", "10", "--json"});
    EXPECT_EQ(host.exitCode, 2);
    EXPECT_EQ(host.err, "Host name contains a line break\n");
    EXPECT_EQ(host.out, "{\"error\": \"Host name contains a line break\", \"kind\": \"usage\"}\n");
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(StoredCheck, AStoredServerWithJunkAfterTheHostIsRefusedBeforeConnecting) {
    ASSERT_TRUE(config.isValid());
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                       Expect("STAT", "+OK 3 900\r\n"), Expect("QUIT", "+OK\r\n")});
    const std::string port = std::to_string(server.Port());
    const std::pair<AnsiString, QStringList> cases[] = {
        {"127.0.0.1 evil.example", {"--port", QString::fromStdString(port)}},
        {"pop3://127.0.0.1\tevil.example:" + port, {}},
    };
    for (const auto& [stored, args] : cases) {
        Store(stored, "taro", "secret");
        const Outcome o = Run(args + QStringList{"--timeout", "10"});
        EXPECT_GT(o.exitCode, 0) << stored;
        EXPECT_NE(o.err.find("white space"), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "") << stored;
    }
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(StoredCheck, WithoutStoredSettingsItAsksForTheAccount) {
    ASSERT_TRUE(config.isValid());
    const Outcome o = Run({"--port", QString::number(server.Port())});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find("no stored settings"), std::string::npos) << o.err;
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(StoredCheck, APartialAccountOnTheCommandLineIsRefused) {
    ASSERT_TRUE(config.isValid());
    Store("127.0.0.1", "taro", "secret");
    const Outcome o = Run({"--port", QString::number(server.Port()), "--user", "hanako", "--password-stdin"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_NE(o.err.find("need --host"), std::string::npos) << o.err;
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(StoredCheck, ADamagedStoreIsNoStoredSettingsAndIsMovedAside) {
    ASSERT_TRUE(config.isValid());
    const std::filesystem::path dir = std::filesystem::path(config.path().toStdString()) / "postwren";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "user.reg") << "REGEDIT4\n[HKEY_CURRENT_USER\\Software\n";
    const Outcome o = Run({"--port", QString::number(server.Port())});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err.rfind("postwren-check: no stored settings in " + (dir / "user.reg").string() +
                              "; give --host, --user and a password\n",
                          0),
              0u)
        << o.err;
    EXPECT_EQ(server.Connections(), 0);
    int movedAside = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        movedAside += e.path().filename().string().rfind("user.reg.damaged-", 0) == 0;
    EXPECT_EQ(movedAside, 1);
}

TEST_F(StoredCheck, AStoredValueOfTheWrongTypeEndsTheCheckWithTheRegistrysMessage) {
    ASSERT_TRUE(config.isValid());
    Store("127.0.0.1", "taro", "secret");
    platform::HiveFile hive(std::filesystem::path(config.path().toStdString()) / "postwren" / "user.reg");
    ASSERT_TRUE(hive.writeValue("Software\\Brindlework\\Postwrn", "UserID", testing_support::dword(7)));
    const Outcome o = Run({"--port", QString::number(server.Port())});
    // No server was asked: a usage error.
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err, "'UserID' のデータ型が不正です\n");
    EXPECT_EQ(server.Connections(), 0);
}

}  // namespace
