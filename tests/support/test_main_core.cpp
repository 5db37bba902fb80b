// Test entry for the engine: a plain QCoreApplication (no display, no GUI
// plugins) and the framework's application object, alive for the whole run.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "core/application.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication qapp(argc, argv);
    TApplication app;
    return RUN_ALL_TESTS();
}
