// The views are drawn off screen: no display server, the software scene graph.

#include <gtest/gtest.h>

#include <QGuiApplication>

namespace {

QtMessageHandler defaultHandler = nullptr;

// A QML warning (a type that cannot be made, a bad binding) leaves part of the panel
// missing or wrong, so it fails the test that caused it.
void failOnQmlWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg && message.contains(QLatin1String("qrc:/RecorderUI/")))
        ADD_FAILURE() << "QML: " << message.toStdString();
    if (defaultHandler) defaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // No session bus: nothing may start one that outlives the test.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    defaultHandler = qInstallMessageHandler(failOnQmlWarnings);
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
