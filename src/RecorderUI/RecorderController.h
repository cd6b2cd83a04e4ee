#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>

#include <memory>

#include "OptionListModel.h"
#include "RecorderModel.h"

namespace brindlow {

// What the recorder's QML views read and call: the model's state as Qt properties and
// its operations as invokable methods. It decides nothing itself; it only formats
// (clock, byte counts, picker labels) and forwards. Lives on the GUI thread, which must
// be the model's main thread. Keeps the model alive.
class RecorderController final : public QObject {
    Q_OBJECT

    // The screen the panel shows and its payload.
    Q_PROPERTY(QString screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(int countdown READ countdown NOTIFY screenChanged)
    Q_PROPERTY(bool paused READ paused NOTIFY screenChanged)
    Q_PROPERTY(QString savedUrl READ savedUrl NOTIFY screenChanged)
    Q_PROPERTY(QString failureMessage READ failureMessage NOTIFY screenChanged)
    Q_PROPERTY(bool canRetrySave READ canRetrySave NOTIFY screenChanged)

    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString envName READ envName CONSTANT)
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY userChanged)
    Q_PROPERTY(bool isPreview READ isPreview CONSTANT)

    Q_PROPERTY(brindlow::OptionListModel* displays READ displays CONSTANT)
    Q_PROPERTY(brindlow::OptionListModel* cameras READ cameras CONSTANT)
    Q_PROPERTY(brindlow::OptionListModel* mics READ mics CONSTANT)
    // -1 when no display is chosen; an empty text when no camera or microphone is.
    Q_PROPERTY(qint64 displayId READ displayId WRITE setDisplayId NOTIFY displayIdChanged)
    Q_PROPERTY(QString cameraId READ cameraId WRITE setCameraId NOTIFY cameraIdChanged)
    Q_PROPERTY(QString micId READ micId WRITE setMicId NOTIFY micIdChanged)
    // What the computer plays, recorded with the microphone or in its place; and why it
    // cannot be (an empty text when it can).
    Q_PROPERTY(bool computerSound READ computerSound WRITE setComputerSound NOTIFY computerSoundChanged)
    Q_PROPERTY(QString computerSoundProblem READ computerSoundProblem NOTIFY computerSoundChanged)
    Q_PROPERTY(int fps READ fps WRITE setFps NOTIFY fpsChanged)
    // The picker buttons' short labels.
    Q_PROPERTY(QString displayLabel READ displayLabel NOTIFY displayLabelChanged)
    Q_PROPERTY(QString cameraLabel READ cameraLabel NOTIFY cameraLabelChanged)
    Q_PROPERTY(QString micLabel READ micLabel NOTIFY micLabelChanged)

    Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString clockText READ clockText NOTIFY elapsedChanged)
    Q_PROPERTY(qint64 backlogBytes READ backlogBytes NOTIFY backlogChanged)
    // Empty while the upload keeps up.
    Q_PROPERTY(QString backlogNotice READ backlogNotice NOTIFY backlogChanged)

    Q_PROPERTY(bool cameraAllowed READ cameraAllowed NOTIFY cameraAllowedChanged)
    // The camera the live preview shows, or an empty text.
    Q_PROPERTY(QString previewCameraId READ previewCameraId NOTIFY previewCameraChanged)
    Q_PROPERTY(bool hasAccessibilityPermission READ hasAccessibilityPermission NOTIFY
                   hasAccessibilityPermissionChanged)
    Q_PROPERTY(bool hasScreenCapturePermission READ hasScreenCapturePermission NOTIFY
                   hasScreenCapturePermissionChanged)
    Q_PROPERTY(bool signingIn READ signingIn NOTIFY signingInChanged)
    Q_PROPERTY(QString signInUrl READ signInUrl NOTIFY signingInChanged)
    // An address the browser would not open, to be shown instead; empty otherwise.
    Q_PROPERTY(QString unopenedUrl READ unopenedUrl NOTIFY unopenedUrlChanged)
    // Why the displays cannot be listed; empty while they can.
    Q_PROPERTY(QString displayProblem READ displayProblem NOTIFY displayProblemChanged)
    // The global shortcuts as the account menu lists them: {name, keys, note}; note is
    // empty when the shortcut works, else why it does not. Empty with shortcutsNote set
    // when the desktop offers none.
    Q_PROPERTY(QVariantList shortcuts READ shortcuts NOTIFY shortcutsChanged)
    Q_PROPERTY(QString shortcutsNote READ shortcutsNote NOTIFY shortcutsChanged)

public:
    explicit RecorderController(std::shared_ptr<RecorderModel> model, QObject* parent = nullptr);
    ~RecorderController() override;

    const std::shared_ptr<RecorderModel>& model() const { return model_; }

    QString screen() const;
    int countdown() const;
    bool paused() const;
    QString savedUrl() const;
    QString failureMessage() const;
    bool canRetrySave() const;
    QString error() const;
    QString envName() const;
    bool signedIn() const;
    bool isPreview() const;
    OptionListModel* displays() { return &displays_; }
    OptionListModel* cameras() { return &cameras_; }
    OptionListModel* mics() { return &mics_; }
    qint64 displayId() const;
    void setDisplayId(qint64 id);
    QString cameraId() const;
    void setCameraId(const QString& id);
    QString micId() const;
    void setMicId(const QString& id);
    bool computerSound() const;
    void setComputerSound(bool on);
    QString computerSoundProblem() const;
    int fps() const;
    void setFps(int fps);
    QString displayLabel() const;
    QString cameraLabel() const;
    QString micLabel() const;
    double elapsed() const;
    QString clockText() const;
    qint64 backlogBytes() const;
    QString backlogNotice() const;
    bool cameraAllowed() const;
    QString previewCameraId() const;
    bool hasAccessibilityPermission() const;
    bool hasScreenCapturePermission() const;
    bool signingIn() const;
    QString signInUrl() const;
    QString unopenedUrl() const;
    QString displayProblem() const;
    QVariantList shortcuts() const { return shortcuts_; }
    QString shortcutsNote() const { return shortcutsNote_; }
    // Set by the app once it knows which shortcuts the desktop let it have.
    void setShortcuts(QVariantList shortcuts, QString note);

    Q_INVOKABLE void refreshDevices();
    Q_INVOKABLE void refreshCameraAccess();
    Q_INVOKABLE void requestAccessibilityPermission();
    Q_INVOKABLE void openScreenCaptureSettings();
    Q_INVOKABLE void startSignIn();
    Q_INVOKABLE void cancelSignIn();
    Q_INVOKABLE void signOut();
    Q_INVOKABLE void record();
    Q_INVOKABLE void cancelCountdown();
    Q_INVOKABLE void pause();
    Q_INVOKABLE void resume();
    Q_INVOKABLE void stop();
    Q_INVOKABLE void restart();
    Q_INVOKABLE void discard();
    Q_INVOKABLE void retrySave();
    Q_INVOKABLE void newRecording();
    Q_INVOKABLE void minimize();
    // Opens the saved recording's page.
    Q_INVOKABLE void openRecording();
    // The close button outside a take: the application should end.
    Q_INVOKABLE void quit();
    // The close button, or the window manager's close: quits while setting up, asks
    // (discardRequested) during a take, does nothing while the take is being saved.
    Q_INVOKABLE void closeRecorder();
    // The global shortcuts: start a take or stop it; pause or resume it.
    Q_INVOKABLE void toggleRecording();
    Q_INVOKABLE void togglePause();
    Q_INVOKABLE void copyText(const QString& text);
    // During a take (countdown or recording), when closing must ask first.
    bool inTake() const;

Q_SIGNALS:
    void screenChanged();
    void errorChanged();
    void userChanged();
    void displayIdChanged();
    void cameraIdChanged();
    void micIdChanged();
    void computerSoundChanged();
    void fpsChanged();
    void displayLabelChanged();
    void cameraLabelChanged();
    void micLabelChanged();
    void elapsedChanged();
    void backlogChanged();
    void cameraAllowedChanged();
    void previewCameraChanged();
    void hasAccessibilityPermissionChanged();
    void hasScreenCapturePermissionChanged();
    void signingInChanged();
    void unopenedUrlChanged();
    void displayProblemChanged();
    void shortcutsChanged();
    void quitRequested();
    void discardRequested();

private:
    void changed(RecorderModel::Property property);
    void updatePreviewCamera();
    void updateLabels();

    std::shared_ptr<RecorderModel> model_;
    OptionListModel displays_, cameras_, mics_;
    // Derived values, kept so that a change is announced only when they really change.
    QString previewCameraId_;
    QString displayLabel_, cameraLabel_, micLabel_;
    QString backlogNotice_;
    QVariantList shortcuts_;
    QString shortcutsNote_;
};

}  // namespace brindlow
