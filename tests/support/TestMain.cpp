// Test entry point: a Qt application (offscreen unless a test asks for a real
// display) and a private home, so no test ever touches the user's files.
#include <QApplication>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/EventLoop.h"
#include "support/TempHome.h"

namespace {

// Far longer than the waits the tests give their tasks.
constexpr int kDrainMs = 300;

}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleMock(&argc, argv);

    TempHome processHome;   // covers code that runs before a test makes its own
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Talvex");
    QApplication::setApplicationName("Talvex");
    const int result = RUN_ALL_TESTS();
    // A task of an object a test has destroyed ends at its next wake-up (a
    // timer of a few milliseconds here): let it, so that the sanitizer
    // build's leak check sees only memory that nothing would ever free.
    spinFor(kDrainMs);
    return result;
}
