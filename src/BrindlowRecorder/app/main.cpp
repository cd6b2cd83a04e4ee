// brindlow-recorder-app: the desktop recorder, one frameless window over the recorder model.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "GlobalShortcuts.h"
#include "MessageBoxAlerts.h"
#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderRuntime.h"
#include "RecorderTray.h"
#include "RecorderWindow.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "shell/MoveOffer.h"

using namespace brindlow;

namespace {

constexpr const char* usage = R"(Usage: brindlow-recorder-app [--env dev|prod] [--stand-in PORTS]

Opens the recorder's window: sign in through the browser, pick the microphone, camera
and screen, and record. While a take records, the tray shows it, and Ctrl+Alt+R (start
or stop) and Ctrl+Alt+P (pause or resume) work from any app on an X11 desktop.

  --env NAME        dev or prod (default: $BRINDLOW_ENV, else the installed app's own)
  --stand-in PORTS  point dev at a local brindlow-devserver: "W,M,L,G" or a base port
                    (default $BRINDLOW_STAND_IN)
  --help            this text
)";

struct Options {
    std::optional<std::string> envName, standIn;
};

// Options come from the environment first and the command line over it. Qt has
// already taken its own arguments out of argv.
std::optional<Options> parse(const QStringList& arguments, bool& help) {
    Options options;
    if (const char* e = std::getenv("BRINDLOW_ENV"); e && *e) options.envName = e;
    if (const char* s = std::getenv("BRINDLOW_STAND_IN"); s && *s) options.standIn = s;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == "--help" || a == "-h") {
            help = true;
            return options;
        }
        if ((a == "--env" || a == "--stand-in") && i + 1 < arguments.size()) {
            (a == "--env" ? options.envName : options.standIn) = arguments[++i].toStdString();
            continue;
        }
        std::fprintf(stderr, "brindlow-recorder-app: unknown argument %s\n\n%s", qPrintable(a), usage);
        return std::nullopt;
    }
    return options;
}

// SIGTERM and SIGINT end the app the ordinary way, so that its quit is reported
// like any other. The handler only writes to a socket the event loop watches.
int signalSockets[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    (void)!::write(signalSockets[0], &byte, 1);
}

void quitOnSignals(QObject* context) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) return;
    auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte;
        (void)!::read(signalSockets[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // Help needs no display (the manual page is made from it at build time).
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brindlow-recorder"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brindlow"));
    QApplication::setDesktopFileName(QStringLiteral("brindlow-recorder"));
    QApplication::setQuitOnLastWindowClosed(false);

    bool help = false;
    const auto options = parse(QApplication::arguments(), help);
    if (!options) return 2;
    if (help) {
        std::fputs(usage, stdout);
        return 0;
    }

    // A second launch only brings the running recorder forward.
    SingleInstance instance;
    if (instance.askRunningToRaise()) return 0;

    // Hooks the model calls on this thread; the window exists by the time they can run.
    RecorderWindow* window = nullptr;
    RuntimeOptions runtimeOptions;
    runtimeOptions.envName = options->envName;
    runtimeOptions.standIn = options->standIn;
    runtimeOptions.main = std::make_shared<QtMainExecutor>(&app);
    runtimeOptions.activate = [&window] {
        if (window) window->present();
    };
    runtimeOptions.minimize = [&window] {
        if (window) window->showMinimized();
    };
    RecorderRuntime runtime;
    try {
        runtime = makeRecorderRuntime(runtimeOptions);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "brindlow-recorder-app: %s\n", error.what());
        return 2;
    }

    if (runtime.appTelemetry) runtime.appTelemetry->launch(true);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&runtime] {
        if (runtime.appTelemetry) runtime.appTelemetry->quit();
    });
    QTimer watchdogPing;
    if (runtime.appTelemetry) {
        // The hang watchdog counts a silent event loop as hung after 2 s.
        QObject::connect(&watchdogPing, &QTimer::timeout, [&runtime] { runtime.appTelemetry->watchdog().ping(); });
        watchdogPing.start(250);
    }
    quitOnSignals(&app);

    {
        MessageBoxAlerts alerts;
        Settings settings(Settings::defaultFile());
        MoveOffer offer(alerts, settings, MoveOffer::installReplacingThrough(Trash::home()),
                        MoveOffer::startInstalledCopy(), MoveOffer::startCommand());
        if (offer.offerMoveToApplications(MoveOffer::Location::current())) {
            // The installed copy has started and takes over; this one ends quietly.
            if (runtime.appTelemetry) runtime.appTelemetry->quit();
            return finishRun(runtime, 0);
        }
    }

    int status = 0;
    {
        RecorderController controller(runtime.model);
        QObject::connect(&controller, &RecorderController::quitRequested, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        RecorderWindow recorderWindow(&controller);
        window = &recorderWindow;
        instance.listen([&recorderWindow] { recorderWindow.present(); });
        RecorderTray tray(controller, [&recorderWindow] { recorderWindow.present(); });
        GlobalShortcuts shortcuts;
        QObject::connect(
            &shortcuts, &GlobalShortcuts::changed, &controller, [&shortcuts, &controller] {
                QVariantList listed;
                for (const auto& s : shortcuts.shortcuts())
                    listed.push_back(
                        QVariantMap{{"name", s.name}, {"keys", s.keys}, {"note", s.note}});
                controller.setShortcuts(listed, shortcuts.note());
            });
        shortcuts.install();
        QObject::connect(&shortcuts, &GlobalShortcuts::activated, &controller,
                         [&controller](GlobalShortcuts::Action a) {
                             if (a == GlobalShortcuts::Action::recordOrStop)
                                 controller.toggleRecording();
                             else
                                 controller.togglePause();
                         });
        recorderWindow.present();
        runtime.model->load();

        status = QApplication::exec();
        window = nullptr;
    }
    // The window and its controller are gone; the model's last work gets its bounded time.
    return finishRun(runtime, status);
}
