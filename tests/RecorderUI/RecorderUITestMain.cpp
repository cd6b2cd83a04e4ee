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

// In sanitizer builds: caches that Qt, fontconfig and GLib keep for the life of the
// process are never freed, and the leak checker cannot tell them from leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6\nleak:libfontconfig.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgst\nleak:libpulse.so\nleak:libdbus-1.so\nleak:libatspi.so\nleak:libLLVM\n";
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // No session bus but a private one a test was started on: nothing may start one
    // that outlives the test.
    if (!qEnvironmentVariableIsSet("BRINDLOW_IN_TEST_SESSION"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    defaultHandler = qInstallMessageHandler(failOnQmlWarnings);
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
