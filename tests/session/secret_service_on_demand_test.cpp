#include "session/secret_service_on_demand.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>

namespace {

using platform::SecretServiceOnDemand;
using platform::SecretStatus;

const platform::SecretAttributes kItem{{"application", "postwren-test"}};

struct ModuleCase {
    const char* name;
    // Writes what lies at the module's path (nothing: no file) and returns the path.
    std::string (*make)(const QTemporaryDir& dir);
    const char* noteNames;  // what the note must name
};

class BrokenModule : public testing::TestWithParam<ModuleCase> {};

// A module that is missing or no module at all fails every call, leaves the
// caller's secret as it was, and says why once, never crashing the program.
TEST_P(BrokenModule, FailsEveryCallAndSaysWhyOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = GetParam().make(dir);
    std::vector<std::string> notes;
    SecretServiceOnDemand secrets([&notes](const std::string& line) { notes.push_back(line); }, {path});

    std::string secret = "kept";
    EXPECT_EQ(secrets.Lookup(kItem, secret), SecretStatus::Failed);
    EXPECT_EQ(secrets.Store("label", kItem, "new"), SecretStatus::Failed);
    EXPECT_EQ(secrets.Clear(kItem), SecretStatus::Failed);
    secrets.Cancel();
    EXPECT_EQ(secret, "kept");
    EXPECT_FALSE(secrets.Loaded());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find(GetParam().noteNames), std::string::npos) << notes[0];
}

INSTANTIATE_TEST_SUITE_P(Modules, BrokenModule,
                         testing::Values(ModuleCase{"Missing",
                                                    [](const QTemporaryDir& dir) {
                                                        return dir.filePath("postwren-keyring.so").toStdString();
                                                    },
                                                    "postwren-keyring.so"},
                                         ModuleCase{"NotALibrary",
                                                    [](const QTemporaryDir& dir) {
                                                        const std::string path =
                                                            dir.filePath("postwren-keyring.so").toStdString();
                                                        std::ofstream(path) << "not a shared object\n";
                                                        return path;
                                                    },
                                                    "postwren-keyring.so"}),
                         [](const testing::TestParamInfo<ModuleCase>& info) { return std::string(info.param.name); });

// The module the build made is found from the program's folder, loads, and
// answers: without a session bus there is no keyring here.
TEST(SecretServiceOnDemand, TheBuiltModuleLoadsAndAnswers) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string noBus = "unix:path=" + dir.filePath("no-bus").toStdString();
    ASSERT_EQ(::setenv("DBUS_SESSION_BUS_ADDRESS", noBus.c_str(), 1), 0);
    std::vector<std::string> notes;
    SecretServiceOnDemand secrets([&notes](const std::string& line) { notes.push_back(line); });

    EXPECT_FALSE(secrets.Loaded());
    std::string secret;
    EXPECT_EQ(secrets.Lookup(kItem, secret), SecretStatus::NoService);
    EXPECT_TRUE(secrets.Loaded());
    EXPECT_TRUE(notes.empty()) << notes.front();
}

}  // namespace
