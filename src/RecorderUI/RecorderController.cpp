#include "RecorderController.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>

#include "CameraFrameRate.h"
#include "RecorderFormat.h"

namespace brindlow {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }
QString text(const std::optional<std::string>& s) { return s ? QString::fromStdString(*s) : QString(); }
std::optional<std::string> choice(const QString& s) {
    return s.isEmpty() ? std::nullopt : std::optional(s.toStdString());
}

QVector<OptionListModel::Option> deviceOptions(const std::vector<DeviceOption>& devices) {
    QVector<OptionListModel::Option> options;
    for (const auto& d : devices) options.push_back({text(d.id), text(d.name), text(d.name)});
    return options;
}

}  // namespace

RecorderController::RecorderController(std::shared_ptr<RecorderModel> model, QObject* parent)
    : QObject(parent), model_(std::move(model)) {
    // The model may outlive this object (its tasks finish first), so the observer checks.
    QPointer<RecorderController> self(this);
    model_->observe([self](RecorderModel::Property property) {
        if (self) self->changed(property);
    });
    for (const auto property : {RecorderModel::Property::displays, RecorderModel::Property::cameras,
                                RecorderModel::Property::mics, RecorderModel::Property::backlogBytes})
        changed(property);
    updateLabels();
    updatePreviewCamera();
}

RecorderController::~RecorderController() = default;

void RecorderController::changed(RecorderModel::Property property) {
    using P = RecorderModel::Property;
    switch (property) {
    case P::screen: Q_EMIT screenChanged(); break;
    case P::error: Q_EMIT errorChanged(); break;
    case P::user: Q_EMIT userChanged(); break;
    case P::displays: {
        QVector<OptionListModel::Option> options;
        for (const auto& d : model_->displays())
            options.push_back({QVariant::fromValue(qint64(d.id)), text(d.name),
                               text(RecorderFormat::displayEntry(d.name, d.pixels))});
        displays_.setOptions(std::move(options));
        break;
    }
    case P::cameras: cameras_.setOptions(deviceOptions(model_->cameras())); break;
    case P::mics: mics_.setOptions(deviceOptions(model_->mics())); break;
    case P::displayId: Q_EMIT displayIdChanged(); break;
    case P::cameraId: Q_EMIT cameraIdChanged(); break;
    case P::micId: Q_EMIT micIdChanged(); break;
    case P::computerSound:
    case P::computerSoundProblem: Q_EMIT computerSoundChanged(); break;
    case P::fps: Q_EMIT fpsChanged(); break;
    case P::elapsed: Q_EMIT elapsedChanged(); break;
    case P::backlogBytes: {
        const QString notice = text(RecorderFormat::backlogNotice(model_->backlogBytes()));
        backlogNotice_ = notice;
        Q_EMIT backlogChanged();
        break;
    }
    case P::cameraAllowed: Q_EMIT cameraAllowedChanged(); break;
    case P::hasAccessibilityPermission: Q_EMIT hasAccessibilityPermissionChanged(); break;
    case P::hasScreenCapturePermission: Q_EMIT hasScreenCapturePermissionChanged(); break;
    case P::signIn:
    case P::signInURL: Q_EMIT signingInChanged(); break;
    case P::unopenedURL: Q_EMIT unopenedUrlChanged(); break;
    case P::displayProblem: Q_EMIT displayProblemChanged(); break;
    case P::session:
        break;
    }
    updateLabels();
    updatePreviewCamera();
}

void RecorderController::updateLabels() {
    const auto name = [](const OptionListModel& list, const QVariant& value) -> std::optional<std::string> {
        const QString n = list.nameOf(value);
        return n.isEmpty() ? std::nullopt : std::optional(n.toStdString());
    };
    const auto displayId = model_->displayId();
    const QString display = text(DeviceLabel::screen(
        displayId ? name(displays_, QVariant::fromValue(qint64(*displayId))) : std::nullopt, displayId.has_value()));
    const QString camera = text(DeviceLabel::camera(name(cameras_, cameraId()), model_->cameraId().has_value()));
    const bool withSound = model_->computerSound() && !model_->computerSoundProblem();
    const QString mic = withSound ? (model_->micId() ? "Mic + sound" : "Sound only")
                                  : text(DeviceLabel::microphone(name(mics_, micId()), model_->micId().has_value()));
    if (display != displayLabel_) {
        displayLabel_ = display;
        Q_EMIT displayLabelChanged();
    }
    if (camera != cameraLabel_) {
        cameraLabel_ = camera;
        Q_EMIT cameraLabelChanged();
    }
    if (mic != micLabel_) {
        micLabel_ = mic;
        Q_EMIT micLabelChanged();
    }
}

void RecorderController::updatePreviewCamera() {
    const QString id = text(model_->previewCameraId());
    if (id == previewCameraId_) return;
    previewCameraId_ = id;
    Q_EMIT previewCameraChanged();
}

QString RecorderController::screen() const { return text(std::string(model_->screen().name())); }
int RecorderController::countdown() const { return model_->screen().countdown; }
bool RecorderController::paused() const { return model_->screen().paused; }
QString RecorderController::savedUrl() const { return text(model_->screen().url); }
QString RecorderController::failureMessage() const { return text(model_->screen().message); }
bool RecorderController::canRetrySave() const { return model_->screen().canRetrySave; }
QString RecorderController::error() const { return text(model_->error()); }
QString RecorderController::envName() const { return text(model_->env().name); }
bool RecorderController::signedIn() const { return model_->user().has_value(); }
bool RecorderController::isPreview() const { return model_->isPreview(); }

qint64 RecorderController::displayId() const {
    const auto id = model_->displayId();
    return id ? qint64(*id) : -1;
}
void RecorderController::setDisplayId(qint64 id) {
    // Anything outside the id range means "no display"; it never wraps onto another id.
    model_->setDisplayId(id >= 0 && id <= qint64(UINT32_MAX) ? std::optional(uint32_t(id)) : std::nullopt);
}
QString RecorderController::cameraId() const { return text(model_->cameraId()); }
void RecorderController::setCameraId(const QString& id) { model_->setCameraId(choice(id)); }
QString RecorderController::micId() const { return text(model_->micId()); }
void RecorderController::setMicId(const QString& id) { model_->setMicId(choice(id)); }
int RecorderController::fps() const { return int(model_->fps()); }
void RecorderController::setFps(int fps) { model_->setFps(fps); }
QString RecorderController::displayLabel() const { return displayLabel_; }
QString RecorderController::cameraLabel() const { return cameraLabel_; }
QString RecorderController::micLabel() const { return micLabel_; }
bool RecorderController::computerSound() const { return model_->computerSound(); }
void RecorderController::setComputerSound(bool on) { model_->setComputerSound(on); }
QString RecorderController::computerSoundProblem() const { return text(model_->computerSoundProblem().value_or("")); }
double RecorderController::elapsed() const { return model_->elapsed(); }
QString RecorderController::clockText() const { return text(RecorderFormat::clock(model_->elapsed())); }
qint64 RecorderController::backlogBytes() const { return model_->backlogBytes(); }
QString RecorderController::backlogNotice() const { return backlogNotice_; }
bool RecorderController::cameraAllowed() const { return model_->cameraAllowed(); }
QString RecorderController::previewCameraId() const { return previewCameraId_; }
bool RecorderController::hasAccessibilityPermission() const { return model_->hasAccessibilityPermission(); }
bool RecorderController::hasScreenCapturePermission() const { return model_->hasScreenCapturePermission(); }
bool RecorderController::signingIn() const { return model_->isSigningIn(); }
QString RecorderController::signInUrl() const { return text(model_->signInURL()); }
QString RecorderController::unopenedUrl() const { return text(model_->unopenedURL()); }
QString RecorderController::displayProblem() const { return text(model_->displayProblem()); }

void RecorderController::setShortcuts(QVariantList shortcuts, QString note) {
    if (shortcuts == shortcuts_ && note == shortcutsNote_) return;
    shortcuts_ = std::move(shortcuts);
    shortcutsNote_ = std::move(note);
    Q_EMIT shortcutsChanged();
}

void RecorderController::refreshDevices() { model_->refreshDevices(); }
void RecorderController::refreshCameraAccess() { model_->refreshCameraAccess(); }
void RecorderController::requestAccessibilityPermission() { model_->requestAccessibilityPermission(); }
void RecorderController::openScreenCaptureSettings() {
    model_->openSettings(RecorderPlatform::SettingsPane::screenCapture);
}
void RecorderController::startSignIn() { model_->startSignIn(); }
void RecorderController::cancelSignIn() { model_->cancelSignIn(); }
void RecorderController::signOut() { model_->signOut(); }
void RecorderController::record() { model_->record(); }
void RecorderController::cancelCountdown() { model_->cancelCountdown(); }
void RecorderController::pause() { model_->pause(); }
void RecorderController::resume() { model_->resume(); }
void RecorderController::stop() { model_->stop(); }
void RecorderController::restart() { model_->restart(); }
void RecorderController::discard() { model_->discard(); }
void RecorderController::retrySave() { model_->retrySave(); }
void RecorderController::newRecording() { model_->newRecording(); }
void RecorderController::minimize() { model_->minimize(); }
void RecorderController::openRecording() {
    if (const auto& url = model_->screen().url) model_->openURL(*url);
}
void RecorderController::quit() { Q_EMIT quitRequested(); }

bool RecorderController::inTake() const {
    const auto kind = model_->screen().kind;
    return kind == Screen::Kind::countdown || kind == Screen::Kind::recording;
}

void RecorderController::closeRecorder() {
    if (model_->screen().kind == Screen::Kind::finishing) return;
    if (inTake()) Q_EMIT discardRequested();
    else quit();
}

void RecorderController::toggleRecording() {
    switch (model_->screen().kind) {
        case Screen::Kind::setup: return model_->record();
        case Screen::Kind::countdown: return model_->cancelCountdown();
        case Screen::Kind::recording: return model_->stop();
        default: return;
    }
}

void RecorderController::togglePause() {
    const Screen& screen = model_->screen();
    if (screen.kind != Screen::Kind::recording) return;
    if (screen.paused) model_->resume();
    else model_->pause();
}

void RecorderController::copyText(const QString& text) {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

}  // namespace brindlow
