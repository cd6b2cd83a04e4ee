// The controller and the camera surface over a real (not preview) model whose platform
// is a fake: permissions, device lists and the live preview's device.

#include <gtest/gtest.h>

#include <QQuickItem>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <mutex>

#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderWindow.h"
#include "Support/ScriptedTransport.h"

namespace brindlow {
namespace {

class NoStore final : public TokenStore {
public:
    std::optional<StoredSession> load() override { return std::nullopt; }
    void save(const StoredSession&) override {}
    void clear() override {}
};

class FakePlatform final : public RecorderPlatform {
public:
    std::vector<ScreenDisplay> availableDisplays() override {
        std::lock_guard lock(mutex);
        if (displayProblem) throw std::runtime_error(*displayProblem);
        return displays;
    }
    bool hasScreenCaptureAccess() override { return screenAccess; }
    bool requestScreenCaptureAccess() override { return false; }
    std::vector<DeviceOption> cameras() override { return {{"cam-1", "Desk Camera"}}; }
    Access cameraAccess(const std::optional<std::string>&) override { return camera; }
    bool requestCameraAccess(const std::string&) override { return camera == Access::granted; }
    std::vector<DeviceOption> microphones() override { return {{"mic-a", "Headset"}}; }
    std::optional<std::string> defaultMicrophone() override { return "mic-a"; }
    bool requestMicrophoneAccess(const std::string&) override { return true; }
    bool isAccessibilityTrusted() override { return true; }
    bool requestAccessibilityTrust() override { return true; }
    void openSettings(SettingsPane pane) override {
        if (pane == SettingsPane::screenCapture) ++screenSettingsOpened;
    }
    bool openURL(const std::string&) override { return false; }  // no browser here
    std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay&, CaptureSize, int) override { return {}; }
    std::optional<CursorCapture> makeCursorCapture(const ScreenDisplay&, bool) override { return std::nullopt; }
    std::shared_ptr<CaptureSource> makeCameraSource(const std::string&) override { return {}; }
    std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string&) override { return {}; }
    std::shared_ptr<SignInAttempt> makeSignIn(const std::string&) override { return {}; }
    SegmentEncoderFactory encoderFactory() override { return {}; }
    std::filesystem::path spoolDirectory() override { return "/nonexistent"; }

    std::mutex mutex;
    std::vector<ScreenDisplay> displays{{7, "Studio", {5120, 2880}, {0, 0, 5120, 2880}}};
    std::optional<std::string> displayProblem;
    std::atomic<Access> camera{Access::granted};
    std::atomic<bool> screenAccess{true};
    std::atomic<int> screenSettingsOpened{0};
};

// A model on the setup screen with the fake's devices listed, and its controller.
struct SetupScreen {
    explicit SetupScreen(std::function<void(FakePlatform&)> configure = {}) {
        if (configure) configure(*platform);
        RecorderModel::Dependencies d;
        d.env = RecorderEnvironment::dev();
        d.transport = std::make_shared<testing::ScriptedTransport>();
        d.store = std::make_shared<NoStore>();
        d.platform = platform;
        d.main = std::make_shared<QtMainExecutor>(qApp);
        model = RecorderModel::make(std::move(d));
        controller = std::make_unique<RecorderController>(model);
        bool listed = false;
        model->newRecording();
        model->refreshDevices([&] { listed = true; });
        ready = QTest::qWaitFor([&] { return listed; }, 5000);
    }
    // Waits until the model's background work has come back to the main thread.
    bool refreshed() {
        bool done = false;
        model->refreshCameraAccess([&] { done = true; });
        return QTest::qWaitFor([&] { return done; }, 5000);
    }

    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    std::shared_ptr<RecorderModel> model;
    std::unique_ptr<RecorderController> controller;
    bool ready = false;
};

QQuickItem* shownItem(RecorderWindow& window, const char* name) {
    for (QQuickItem* item : window.contentItem()->findChildren<QQuickItem*>(name))
        if (item->isVisible()) return item;
    return nullptr;
}

TEST(RecorderController, ListsDisplaysWithTheirRecordedSizeAndLabelsThePickers) {
    SetupScreen s;
    ASSERT_TRUE(s.ready);
    OptionListModel* displays = s.controller->displays();
    ASSERT_EQ(displays->rowCount(), 1);
    const QModelIndex first = displays->index(0);
    EXPECT_EQ(displays->data(first, OptionListModel::LabelRole).toString().toStdString(), "Studio \u00b7 4096\u00d72304");
    EXPECT_EQ(displays->data(first, OptionListModel::ValueRole).toLongLong(), 7);
    EXPECT_EQ(s.controller->displayId(), 7);
    EXPECT_EQ(s.controller->displayLabel().toStdString(), "Studio");
    EXPECT_EQ(s.controller->micLabel().toStdString(), "Headset");
    EXPECT_EQ(s.controller->cameraLabel().toStdString(), "No camera");
    EXPECT_EQ(s.controller->screen().toStdString(), "setup");
    EXPECT_FALSE(s.controller->isPreview());
}

TEST(RecorderController, AnnouncesAChoiceOnlyWhenItChanges) {
    SetupScreen s;
    ASSERT_TRUE(s.ready);
    QSignalSpy display(s.controller.get(), &RecorderController::displayIdChanged);
    QSignalSpy label(s.controller.get(), &RecorderController::displayLabelChanged);
    QSignalSpy fps(s.controller.get(), &RecorderController::fpsChanged);
    s.controller->setDisplayId(7);  // already chosen
    EXPECT_EQ(display.count(), 0);
    s.controller->setDisplayId(-1);
    s.controller->setDisplayId(-1);
    EXPECT_EQ(display.count(), 1);
    EXPECT_EQ(label.count(), 1);
    EXPECT_EQ(s.controller->displayLabel().toStdString(), "No screen");
    // An id beyond 32 bits means no display; it never wraps onto another one.
    s.controller->setDisplayId(qint64(1) << 32 | 7);
    EXPECT_EQ(s.controller->displayId(), -1);
    EXPECT_EQ(display.count(), 1);
    s.controller->setFps(60);
    s.controller->setFps(60);
    EXPECT_EQ(fps.count(), 1);
    EXPECT_EQ(s.controller->fps(), 60);
}

TEST(CameraSurface, PlaceholderSaysWhyThereIsNoPicture) {
    const struct {
        const char* title;
        bool withDisplay;
        const char* camera;
        RecorderPlatform::Access access;
        const char* text;
    } cases[] = {
        {"camera chosen but refused", true, "cam-1", RecorderPlatform::Access::denied,
         "Allow camera access in System Settings to see yourself here."},
        {"nothing chosen", false, "", RecorderPlatform::Access::granted,
         "Turn on your camera or pick a screen to start."},
        {"a display, no camera", true, "", RecorderPlatform::Access::granted,
         "Recording your screen \u2014 camera is off."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        // Without a display listed: the panel's own refresh would choose one again.
        SetupScreen s([&](FakePlatform& p) {
            p.camera = c.access;
            if (!c.withDisplay) p.displays.clear();
        });
        ASSERT_TRUE(s.ready);
        s.controller->setCameraId(c.camera);
        ASSERT_TRUE(s.refreshed());
        RecorderWindow window(s.controller.get());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QQuickItem* placeholder = shownItem(window, "camera-placeholder");
        ASSERT_NE(placeholder, nullptr);
        EXPECT_EQ(placeholder->property("text").toString().toStdString(), c.text);
        EXPECT_EQ(shownItem(window, "camera-preview"), nullptr);
    }
}

TEST(CameraSurface, AnAllowedCameraThatCannotBeFoundShowsAnEmptyPreviewWithoutFailing) {
    SetupScreen s;
    ASSERT_TRUE(s.ready);
    s.controller->setCameraId("cam-1");
    ASSERT_TRUE(s.refreshed());
    EXPECT_EQ(s.controller->previewCameraId().toStdString(), "cam-1");
    RecorderWindow window(s.controller.get());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QQuickItem* preview = shownItem(window, "camera-preview");
    ASSERT_NE(preview, nullptr);
    EXPECT_FALSE(preview->property("hasPicture").toBool());
    EXPECT_EQ(shownItem(window, "camera-placeholder"), nullptr);
    // Leaving setup for a screen without the camera removes the preview.
    s.model->signOut();
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownItem(window, "camera-preview") == nullptr; }, 3000));
}

TEST(Notices, MissingScreenCaptureAccessPointsToTheSettings) {
    SetupScreen s([](FakePlatform& p) { p.screenAccess = false; });
    ASSERT_TRUE(s.ready);
    ASSERT_FALSE(s.controller->hasScreenCapturePermission());
    RecorderWindow window(s.controller.get());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QQuickItem* notice = shownItem(window, "screen-capture-notice");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->property("text").toString().toStdString(),
              "To record your screen, allow Screen Recording in System Settings, then reopen Brindlow.");
    // It replaces the accessibility hint.
    EXPECT_EQ(shownItem(window, "allow-accessibility"), nullptr);
    QQuickItem* button = shownItem(window, "open-screen-capture-settings");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->property("text").toString().toStdString(), "Open System Settings");
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(&window, Qt::LeftButton, {}, centre.toPoint());
    EXPECT_TRUE(QTest::qWaitFor([&] { return s.platform->screenSettingsOpened == 1; }, 3000));
}

TEST(Notices, DisplaysThatCannotBeListedSayWhyAndCanBeAskedForAgain) {
    SetupScreen s([](FakePlatform& p) { p.displayProblem = "cannot open X display :42"; });
    ASSERT_TRUE(s.ready);
    RecorderWindow window(s.controller.get());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QQuickItem* notice = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (notice = shownItem(window, "display-problem-notice")) != nullptr; }, 3000));
    const std::string text = notice->property("text").toString().toStdString();
    EXPECT_NE(text.find("cannot open X display :42"), std::string::npos) << text;
    EXPECT_EQ(text.find("System Settings"), std::string::npos)
        << "no such setting on this desktop: " << text;
    EXPECT_EQ(shownItem(window, "screen-capture-notice"), nullptr);
    // Once the display answers, trying again lists it and the notice goes.
    {
        std::lock_guard lock(s.platform->mutex);
        s.platform->displayProblem.reset();
    }
    QQuickItem* retry = shownItem(window, "retry-displays");
    ASSERT_NE(retry, nullptr);
    QTest::mouseClick(&window, Qt::LeftButton, {},
                      retry->mapToScene({retry->width() / 2, retry->height() / 2}).toPoint());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return shownItem(window, "display-problem-notice") == nullptr; }, 3000));
    EXPECT_EQ(s.controller->displayId(), 7);
}

TEST(RecorderController, ANoMicrophoneChoiceInThePanelSurvivesTheAppBecomingActive) {
    SetupScreen s;
    ASSERT_TRUE(s.ready);
    RecorderWindow window(s.controller.get());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const auto click = [&](const char* name) {
        QQuickItem* item = nullptr;
        for (QQuickItem* found : window.findChildren<QQuickItem*>(name))
            if (found->isVisible()) item = found;
        ASSERT_NE(item, nullptr) << name;
        QTest::mouseClick(&window, Qt::LeftButton, {},
                          item->mapToScene({item->width() / 2, item->height() / 2}).toPoint());
    };
    for (const char* picker : {"mic-picker", "display-picker"}) {
        click(picker);
        QObject* menu = window.findChild<QObject*>(QString(picker) + "-menu");
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
        click((std::string(picker) + "-none").c_str());
    }
    ASSERT_EQ(s.controller->micId(), "");
    ASSERT_EQ(s.controller->displayId(), -1);
    // What the panel does when the app becomes active on the setup screen.
    s.controller->refreshDevices();
    ASSERT_TRUE(s.refreshed());
    EXPECT_EQ(s.controller->micId(), "");
    EXPECT_EQ(s.controller->micLabel().toStdString(), "No mic");
    EXPECT_EQ(s.controller->displayId(), -1);
}

}  // namespace
}  // namespace brindlow
