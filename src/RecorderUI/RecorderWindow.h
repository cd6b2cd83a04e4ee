#pragma once

#include <QQuickView>

namespace brindlow {

class RecorderController;

// Makes the recorder's QML types known to `engine`'s type system; once per process.
void registerRecorderTypes();

// The one recorder window: 320 x 560, frameless, translucent so that the panel's
// rounded corners show what is behind, minimisable, titled "Brindlow". The window
// manager's close (Alt+F4, a task switcher) acts as the panel's close button: it quits
// while setting up, asks before discarding a take, and does nothing while one is saved.
// GUI thread only.
class RecorderWindow final : public QQuickView {
    Q_OBJECT

public:
    static constexpr int panelWidth = 320, panelHeight = 560;

    explicit RecorderWindow(RecorderController* recorder, QWindow* parent = nullptr);

    // Brings the window back: restored if minimised, shown, raised and given the focus.
    void present();
    // Centres the window on its screen's available area.
    void centre();

protected:
    bool event(QEvent* event) override;

private:
    RecorderController* recorder_;
};

}  // namespace brindlow
