// Test entry: a QApplication (offscreen unless the environment says otherwise)
// and the framework's application object, alive for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "core/application.h"

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testing::InitGoogleTest(&argc, argv);
    QApplication qapp(argc, argv);
    TApplication app;
    return RUN_ALL_TESTS();
}
