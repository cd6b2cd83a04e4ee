#include "RecorderWindow.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QScreen>
#include <QSurfaceFormat>
#include <QtQml>

#include "CameraPreviewItem.h"
#include "OptionListModel.h"
#include "RecorderController.h"

namespace brindlow {

void registerRecorderTypes() {
    static const bool registered = [] {
        qmlRegisterType<CameraPreviewItem>("BrindlowNative", 1, 0, "CameraPreviewSurface");
        qmlRegisterUncreatableType<RecorderController>("BrindlowNative", 1, 0, "RecorderController",
                                                       "the application provides it");
        qmlRegisterUncreatableType<OptionListModel>("BrindlowNative", 1, 0, "OptionListModel",
                                                    "the recorder provides it");
        return true;
    }();
    (void)registered;
}

RecorderWindow::RecorderWindow(RecorderController* recorder, QWindow* parent)
    : QQuickView(parent), recorder_(recorder) {
    registerRecorderTypes();
    setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setTitle(QStringLiteral("Brindlow"));
    // An alpha channel and a clear background: only the panel's rounded shape is seen.
    QSurfaceFormat surface = format();
    surface.setAlphaBufferSize(8);
    setFormat(surface);
    setColor(Qt::transparent);
    setMinimumSize({panelWidth, panelHeight});
    setMaximumSize({panelWidth, panelHeight});
    resize(panelWidth, panelHeight);
    setResizeMode(QQuickView::SizeRootObjectToView);
    rootContext()->setContextProperty(QStringLiteral("recorder"), recorder);
    rootContext()->setContextProperty(QStringLiteral("recorderWindow"), this);
    setSource(QUrl(QStringLiteral("qrc:/RecorderUI/RecorderPanel.qml")));
    centre();
}

void RecorderWindow::centre() {
    if (const QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        setPosition(area.center() - QPoint(panelWidth / 2, panelHeight / 2));
    }
}

void RecorderWindow::present() {
    if (windowStates() & Qt::WindowMinimized) setWindowStates(windowStates() & ~Qt::WindowMinimized);
    show();
    raise();
    requestActivate();
}

bool RecorderWindow::event(QEvent* event) {
    // The window stays; what closing means is the panel's close button's to decide.
    if (event->type() == QEvent::Close) {
        event->ignore();
        if (recorder_ && recorder_->inTake()) present();  // the question must be seen
        if (recorder_) recorder_->closeRecorder();
        return true;
    }
    return QQuickView::event(event);
}

}  // namespace brindlow
