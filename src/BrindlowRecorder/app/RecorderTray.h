#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

namespace brindlow {

class RecorderController;

// The recorder in the desktop's tray while a take records, so that a take is never out
// of sight when the panel is minimised or covered: a red dot, the recorded time in its
// tooltip, and Pause or Resume, Stop and "Show Brindlow" in its menu. Qt's tray icon
// speaks StatusNotifierItem to the desktop's tray host (or uses the X11 tray); where
// there is no tray the indicator never appears. GUI thread only.
class RecorderTray final : public QObject {
    Q_OBJECT

public:
    RecorderTray(RecorderController& recorder, std::function<void()> showWindow,
                 QObject* parent = nullptr);

private:
    void update();

    RecorderController& recorder_;
    std::function<void()> showWindow_;
    QMenu menu_;
    QAction* pause_;
    QAction* stop_;
    QAction* show_;
    QSystemTrayIcon* icon_ = nullptr;  // made once a take records and a tray is there
    bool drawnPaused_ = false;
};

}  // namespace brindlow
