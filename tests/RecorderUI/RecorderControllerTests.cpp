// The controller and the panel over a real (not preview) model whose platform is a
// fake: permissions, device lists, what the camera surface says and the notices.

#include <gtest/gtest.h>

#include <QQuickItem>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <mutex>

#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderWindow.h"
#include "Support/FakeMachine.h"
#include "Support/MemoryTokenStore.h"
#include "Support/ScriptedTransport.h"

namespace brindlow {
namespace {

using testing::FakeMachine;

// A desk with one screen and one camera, where accessibility is not yet trusted, so its
// notice is offered unless another comes first.
std::shared_ptr<FakeMachine> desk() {
    auto machine = std::make_shared<FakeMachine>();
    machine->displays = {{7, "Studio", {5120, 2880}, {0, 0, 5120, 2880}}};
    machine->cameraList = {{"cam-1", "Desk Camera"}};
    machine->accessibilityTrusted = false;
    return machine;
}

// A model on the setup screen with the fake's devices listed, its controller and,
// once shown, the panel.
struct SetupScreen {
    explicit SetupScreen(const std::function<void(FakeMachine&)>& configure = {}) {
        if (configure) configure(*platform);
        RecorderModel::Dependencies d;
        d.env = RecorderEnvironment::dev();
        d.transport = std::make_shared<testing::ScriptedTransport>();
        d.store = std::make_shared<testing::MemoryTokenStore>();
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
    bool show() {
        (window = std::make_unique<RecorderWindow>(controller.get()))->show();
        return QTest::qWaitForWindowExposed(window.get());
    }
    QQuickItem* shown(const char* name) const {
        for (QQuickItem* item : window->findChildren<QQuickItem*>(name))
            if (item->isVisible()) return item;
        return nullptr;
    }
    void click(const char* name) const {
        QQuickItem* item = shown(name);
        ASSERT_NE(item, nullptr) << name;
        QTest::mouseClick(window.get(), Qt::LeftButton, {},
                          item->mapToScene({item->width() / 2, item->height() / 2}).toPoint());
    }

    std::shared_ptr<FakeMachine> platform = desk();
    std::shared_ptr<RecorderModel> model;
    std::unique_ptr<RecorderController> controller;
    std::unique_ptr<RecorderWindow> window;
    bool ready = false;
};

// A choice is announced only when it changes, and an id no display can have chooses none.
// That a refresh keeps the choices is the model's to show.
TEST(RecorderController, AnnouncesAChoiceOnlyWhenItChangesAndNeverWrapsADisplayId) {
    SetupScreen s;
    ASSERT_TRUE(s.ready);
    QSignalSpy display(s.controller.get(), &RecorderController::displayIdChanged);
    s.controller->setDisplayId(7);  // already chosen
    s.controller->setDisplayId(-1);
    s.controller->setDisplayId(-1);
    // Beyond 32 bits: it must not wrap onto display 7.
    s.controller->setDisplayId(qint64(1) << 32 | 7);
    EXPECT_EQ(s.controller->displayId(), -1);
    EXPECT_EQ(display.count(), 1);
}

// What the setup screen says about the machine: the camera surface's picture or why
// there is none, and the notices whose buttons lead on.
TEST(CameraSurface, TheSetupScreenShowsTheCameraOrSaysWhyNotAndWhatToDo) {
    using Access = RecorderPlatform::Access;
    const struct {
        const char* title;
        std::function<void(FakeMachine&)> machine;
        const char* camera;
        std::vector<std::pair<const char*, const char*>> shown;  // object name, its text ("" = any)
        std::vector<const char*> absent;
        const char* press = nullptr;  // then, once the machine has recovered
        std::function<bool(SetupScreen&)> done = {};
    } cases[] = {
        {"camera chosen but refused", [](FakeMachine& p) { p.camera = Access::denied; }, "cam-1",
         {{"camera-placeholder", "Allow camera access in System Settings to see yourself here."}}, {"camera-preview"}},
        {"a display, no camera", {}, "",
         {{"camera-placeholder", "Recording your screen \u2014 camera is off."}, {"allow-accessibility", ""}},
         {"camera-preview"}},
        {"an allowed camera that cannot be found", {}, "cam-1", {{"camera-preview", ""}}, {"camera-placeholder"}},
        {"no screen capture access", [](FakeMachine& p) { p.screenAccess = false; }, "",
         {{"screen-capture-notice", ""}, {"open-screen-capture-settings", ""}},
         {"allow-accessibility"}, "open-screen-capture-settings",
         [](SetupScreen& s) { return s.platform->screenSettingsOpened == 1; }},
        {"displays that cannot be listed", [](FakeMachine& p) { p.displayProblem = "cannot open X display :42"; }, "",
         {{"display-problem-notice", "Your screens can't be listed: cannot open X display :42. Start Brindlow from "
                                     "your desktop session, then try again."}},
         {"screen-capture-notice", "allow-accessibility"}, "retry-displays",
         [](SetupScreen& s) { return !s.shown("display-problem-notice") && s.controller->displayId() == 7; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        SetupScreen s(c.machine);
        ASSERT_TRUE(s.ready);
        s.controller->setCameraId(c.camera);
        ASSERT_TRUE(s.refreshed());
        ASSERT_TRUE(s.show());
        for (const auto& shown : c.shown) {
            QQuickItem* item = nullptr;
            ASSERT_TRUE(QTest::qWaitFor([&] { return (item = s.shown(shown.first)) != nullptr; }, 3000)) << shown.first;
            if (*shown.second) {
                EXPECT_EQ(item->property("text").toString().toStdString(), shown.second);
            }
        }
        for (const char* name : c.absent) EXPECT_EQ(s.shown(name), nullptr) << name;
        if (!c.press) continue;
        {
            std::lock_guard lock(s.platform->mutex);
            s.platform->displayProblem.reset();
        }
        s.click(c.press);
        EXPECT_TRUE(QTest::qWaitFor([&] { return c.done(s); }, 3000));
    }
}

}  // namespace
}  // namespace brindlow
