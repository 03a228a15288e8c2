#include <cstdlib>

#include <QApplication>

#include <gtest/gtest.h>

// GUI tests need a real QApplication; the offscreen platform lets them run
// without a display, in CI as on a developer's machine.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
