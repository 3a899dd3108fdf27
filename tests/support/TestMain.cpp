// Test entry point: a Qt application (offscreen unless a test asks for a real
// display) and a private home, so no test ever touches the user's files.
#include <QApplication>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TempHome.h"

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleMock(&argc, argv);

    TempHome processHome;   // covers code that runs before a test makes its own
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Talvex");
    QApplication::setApplicationName("Talvex");
    return RUN_ALL_TESTS();
}
