#include "RecorderTray.h"

#include <QCursor>
#include <QPainter>
#include <QPixmap>

#include "RecorderController.h"

namespace brindlow {

namespace {

// The record colour's dot; paused, a dimmer dot with two bars on it.
QIcon dot(bool paused) {
    QIcon icon;
    for (const int size : {16, 22, 32, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor red(239, 68, 68);
        if (paused) red.setAlpha(150);
        painter.setBrush(red);
        const double margin = size / 8.0;
        painter.drawEllipse(QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
        if (paused) {
            painter.setBrush(Qt::white);
            const double w = size / 8.0, h = size * 0.4, top = (size - h) / 2;
            painter.drawRect(QRectF(size / 2.0 - 1.5 * w, top, w, h));
            painter.drawRect(QRectF(size / 2.0 + 0.5 * w, top, w, h));
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

RecorderTray::RecorderTray(RecorderController& recorder, std::function<void()> showWindow,
                           QObject* parent)
    : QObject(parent), recorder_(recorder), showWindow_(std::move(showWindow)) {
    pause_ = menu_.addAction(QStringLiteral("Pause"));
    stop_ = menu_.addAction(QStringLiteral("Stop"));
    menu_.addSeparator();
    show_ = menu_.addAction(QStringLiteral("Show Brindlow"));
    connect(pause_, &QAction::triggered, &recorder_, &RecorderController::togglePause);
    connect(stop_, &QAction::triggered, &recorder_, &RecorderController::stop);
    connect(show_, &QAction::triggered, this, [this] { showWindow_(); });
    connect(&recorder_, &RecorderController::screenChanged, this, &RecorderTray::update);
    connect(&recorder_, &RecorderController::elapsedChanged, this, &RecorderTray::update);
}

void RecorderTray::update() {
    const bool recording = recorder_.screen() == QLatin1String("recording");
    if (!recording) {
        if (icon_) icon_->hide();
        return;
    }
    if (!icon_) {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) return;  // nowhere to show it
        icon_ = new QSystemTrayIcon(this);
        icon_->setContextMenu(&menu_);
        drawnPaused_ = recorder_.paused();
        icon_->setIcon(dot(drawnPaused_));
        connect(icon_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    // A host that asks for the menu instead of drawing it gets Qt's own.
                    if (reason == QSystemTrayIcon::Context && !menu_.isVisible())
                        menu_.popup(QCursor::pos());
                    else if (reason == QSystemTrayIcon::Trigger)
                        showWindow_();
                });
    }
    const bool paused = recorder_.paused();
    if (paused != drawnPaused_) {
        drawnPaused_ = paused;
        icon_->setIcon(dot(paused));
    }
    pause_->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    const QString tip = (paused ? QStringLiteral("Brindlow: paused at ")
                                : QStringLiteral("Brindlow: recording, ")) +
                        recorder_.clockText();
    if (icon_->toolTip() != tip) icon_->setToolTip(tip);
    if (!icon_->isVisible()) icon_->show();
}

}  // namespace brindlow
