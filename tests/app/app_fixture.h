// The two forms of the program on fakes: a recording tray, shell and message
// box, an in-memory hive, and a scripted POP3 server the client is pointed at.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/config_form.h"
#include "app/main_form.h"
#include "core/application.h"
#include "core/exception.h"
#include "desktop/shell.h"
#include "net/kxpop3.h"
#include "tests/app/check_runner_peer.h"
#include "tests/support/fake_hive.h"
#include "tests/support/fake_tray_service.h"
#include "tests/support/hive_values.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/test_services.h"
#include "tests/support/wait.h"

// What the tests look at inside the main window.
class TFrmMainTestPeer {
public:
    // Timed checks run at the interval of stored settings: once settings were
    // loaded from a stored key, or confirmed in a process that started without.
    static bool TimedChecksArmed(const TFrmMain& form) { return form.timedChecksArmed_; }
    // A check is waiting on the network right now.
    static bool CheckRunning(const TFrmMain& form) { return CheckRunnerTestPeer::Running(*form.checks_); }
};

namespace app_testing {

using namespace std::string_literals;
using testing_support::Expect;
using testing_support::Script;
using testing_support::Send;

inline const std::string kKey = "Software\\Brindlework\\Postwrn";

using testing_support::dword;
using testing_support::sz;

// A whole successful check of `user` with `count` messages waiting.
inline Script CheckScript(const std::string& user, const std::string& password, int count) {
    return {Send("+OK ready\r\n"), Expect("USER " + user, "+OK\r\n"), Expect("PASS " + password, "+OK\r\n"),
            Expect("STAT", "+OK " + std::to_string(count) + " 1024\r\n"), Expect("QUIT", "+OK bye\r\n")};
}

class AppFormsTest : public ::testing::Test {
protected:
    FakeHive hive;
    // For tests that move time themselves (point services.clock at it); it
    // outlives the forms, whose timers run on it.
    testing_support::ManualClock manualClock;
    // Declared before the forms, which must go first.
    TestServices services{hive};
    FakeTrayService& tray = services.tray;
    RecordingShell& shell = services.shell;
    // Message boxes the main window showed; errors reported by the application object.
    std::vector<RecordingMessageBox::Box>& boxes = services.messageBox.boxes;
    testing_support::ScriptedPop3Server server;
    std::vector<AnsiString> errors;
    std::unique_ptr<TFrmMain> frmMain;
    std::unique_ptr<TFrmConfig> frmConfig;
    std::size_t logMark_ = 0;

    void SetUp() override {
        Application->ShowExceptionHook = [this](const Exception& e) { errors.push_back(e.Message()); };
        Application->SetTitle("Postwren");
    }

    void TearDown() override {
        frmConfig.reset();
        frmMain.reset();
        Application->SetOnIdle(nullptr);
        Application->ShowExceptionHook = nullptr;
    }

    // Makes both forms as the program's start does. Unless asked to keep it,
    // the idle handler that finishes start-up is taken away again.
    void MakeForms(bool keepFirstIdle = false) {
        const Services made = services.Make();
        frmMain = std::make_unique<TFrmMain>(nullptr, made);
        frmConfig = std::make_unique<TFrmConfig>(nullptr, made);
        frmMain->KxPOP31->SetPort(server.Port());
        if (!keepFirstIdle)
            Application->SetOnIdle(nullptr);
    }

    // Lets the message loop run until the start-up idle handler has run.
    bool RunUntilFirstIdleDone() {
        return testing_support::WaitUntil([] { return !Application->OnIdle(); });
    }

    void StoreSettings(const std::string& host, const std::string& user, const std::string& password, int cycle,
                       const std::string& mailer) {
        hive.createKey(kKey);
        hive.put(kKey, "POP3", sz(host));
        hive.put(kKey, "UserID", sz(user));
        hive.put(kKey, "Password", sz(ScramblePassword(password, DefaultScrambleKey)));
        hive.put(kKey, "Cycle", dword(static_cast<std::uint32_t>(cycle)));
        hive.put(kKey, "Mailer", sz(mailer));
    }

    void UseAccount(const std::string& user, const std::string& password) {
        frmMain->Mailbox = MailboxSettings{"127.0.0.1", user, password};
    }

    // The program's log lines from CaptureLog on, each as the program's log
    // writes it after its time stamp: " postwren: <text>\n".
    void CaptureLog() { logMark_ = services.log.lines.size(); }
    std::string CapturedLog() const {
        std::string said;
        for (std::size_t i = logMark_; i < services.log.lines.size(); ++i)
            said += " postwren: " + services.log.lines[i] + "\n";
        return said;
    }

    bool PopupVisible() const { return frmMain->Visible(); }
    bool CheckRunning() const { return TFrmMainTestPeer::CheckRunning(*frmMain); }
    bool TimedChecksArmed() const { return TFrmMainTestPeer::TimedChecksArmed(*frmMain); }
    bool DialogVisible() const { return frmConfig->Visible(); }
};

}  // namespace app_testing
