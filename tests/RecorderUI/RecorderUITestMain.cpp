// The views are drawn off screen: no display server, the software scene graph.

#include <gtest/gtest.h>

#include <QGuiApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // No session bus: nothing may start one that outlives the test.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
