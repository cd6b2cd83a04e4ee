// The recorder panel drawn off screen over a preview model: what each screen shows,
// which controls it offers and what they do.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderWindow.h"

namespace brindlow {
namespace {

using Kind = Screen::Kind;

// One panel in a window of its own over a preview model in `state`.
class Panel {
public:
    explicit Panel(RecorderModel::PreviewState state, bool withScreen = true) {
        model = RecorderModel::preview(state.screen, withScreen, std::make_shared<QtMainExecutor>(qApp));
        controller = std::make_unique<RecorderController>(model);
        model->showPreviewState(state);
        window = std::make_unique<RecorderWindow>(controller.get());
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }

    // Every item with this name that is on screen (visible, with visible ancestors).
    QList<QQuickItem*> shown(const QString& name) const {
        QList<QQuickItem*> found;
        for (QQuickItem* item : window->contentItem()->findChildren<QQuickItem*>(name))
            if (item->isVisible() && item->window() == window.get()) found.push_back(item);
        // Popups keep their items under the overlay, outside the content item's children.
        for (QQuickItem* item : window->findChildren<QQuickItem*>(name))
            if (item->isVisible() && !found.contains(item) && item->window() == window.get()) found.push_back(item);
        return found;
    }
    QQuickItem* one(const QString& name) const {
        const auto found = shown(name);
        EXPECT_EQ(found.size(), 1) << name.toStdString();
        return found.isEmpty() ? nullptr : found.front();
    }
    bool isShown(const QString& name) const { return !shown(name).isEmpty(); }
    QObject* popup(const QString& name) const { return window->findChild<QObject*>(name); }

    void click(QQuickItem* item) const {
        ASSERT_NE(item, nullptr);
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, centre.toPoint());
    }
    void settle() const { QTest::qWait(0); }

    std::shared_ptr<RecorderModel> model;
    std::unique_ptr<RecorderController> controller;
    std::unique_ptr<RecorderWindow> window;
    bool exposed = false;
};

RecorderModel::PreviewState on(Screen screen) {
    RecorderModel::PreviewState state;
    state.screen = std::move(screen);
    return state;
}

QString accessibleName(QQuickItem* item) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(item);
    return a ? a->text(QAccessible::Name) : QString();
}
QString accessibleDescription(QQuickItem* item) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(item);
    return a ? a->text(QAccessible::Description) : QString();
}
// What a control says: a text, else its label.
QString said(QQuickItem* item) {
    if (!item) return {};
    const QVariant text = item->property("text");
    if (text.isValid() && !text.toString().isEmpty()) return text.toString();
    return item->property("label").toString();
}

struct ScreenCase {
    const char* title;
    RecorderModel::PreviewState state;
    std::vector<std::pair<const char*, const char*>> shown;  // object name, what it says ("" = anything)
    std::vector<const char*> absent;
};

std::vector<ScreenCase> screenCases() {
    RecorderModel::PreviewState signedOut = on(Screen::of(Kind::signedOut));
    signedOut.signedIn = false;
    RecorderModel::PreviewState signedOutWithError = signedOut;
    signedOutWithError.error = "Couldn't load your account: the network is down";
    RecorderModel::PreviewState withSound = on(Screen::of(Kind::setup));
    withSound.computerSound = true;
    RecorderModel::PreviewState soundUnavailable = withSound;
    soundUnavailable.computerSoundProblem = "No sound server is running.";
    return {
        {"loading", on(Screen::of(Kind::loading)), {{"loading", ""}},
         {"sign-in", "start-recording", "mic-picker", "account-menu"}},
        {"signed out", signedOut, {{"sign-in", "Sign in with your browser"}, {"close", "Close recorder"},
                                   {"minimize", "Minimize recorder"}},
         {"recorder-error", "start-recording", "mic-picker", "account-menu", "elapsed"}},
        {"signed out with an error", signedOutWithError,
         {{"sign-in", "Sign in with your browser"},
          {"recorder-error", "Couldn't load your account: the network is down"}},
         {"start-recording"}},
        {"signing in", on(Screen::of(Kind::signingIn)), {{"cancel-sign-in", "Cancel"}},
         {"sign-in", "start-recording"}},
        {"setup", on(Screen::of(Kind::setup)),
         {{"start-recording", "Start recording"}, {"mic-picker", "MacBook Pro M\u2026"},
          {"camera-picker", "FaceTime HD C\u2026"}, {"display-picker", "LG HDR 4K"}, {"account-menu", "Account"}},
         {"stop", "pause-resume", "restart", "elapsed", "countdown", "camera-placeholder"}},
        {"setup with computer sound", withSound, {{"mic-picker", "Mic + sound"}}, {}},
        {"computer sound chosen where it cannot be recorded", soundUnavailable,
         {{"mic-picker", "MacBook Pro M\u2026"}}, {}},
        {"countdown", on(Screen::countdownOf(3)), {{"countdown", "3"}, {"cancel-countdown", "Cancel"}},
         {"start-recording", "stop", "mic-picker", "account-menu", "elapsed"}},
        {"recording", on(Screen::recording(false)),
         {{"stop", "Stop recording"}, {"pause-resume", "Pause recording"}, {"restart", "Restart recording"},
          {"elapsed", ""}, {"elapsed-text", "12:34"}, {"mic-picker", ""}},
         {"start-recording", "account-menu", "countdown"}},
        {"paused", on(Screen::recording(true)),
         {{"stop", "Stop recording"}, {"pause-resume", "Resume recording"}, {"elapsed-text", "12:34"}},
         {"start-recording"}},
        {"finishing", on(Screen::of(Kind::finishing)), {{"close", "Close recorder"}},
         {"stop", "start-recording", "mic-picker", "elapsed"}},
        {"saved with an address", on(Screen::saved("http://127.0.0.1:1/screen-recorder/view/f1")),
         {{"open-recording", "Open in Brindlow"}, {"new-recording", "New recording"}},
         {"start-recording", "mic-picker", "retry-save"}},
        {"saved without an address", on(Screen::saved(std::nullopt)), {{"new-recording", "New recording"}},
         {"open-recording", "start-recording"}},
        {"failed, may retry", on(Screen::failed("The recording could not be saved.", true)),
         {{"failure-message", "The recording could not be saved."}, {"retry-save", "Try saving again"},
          {"new-recording", "New recording"}},
         {"open-recording", "start-recording"}},
        {"failed for good", on(Screen::failed("Not enough disk space.", false)),
         {{"failure-message", "Not enough disk space."}, {"new-recording", "New recording"}},
         {"retry-save", "start-recording"}},
    };
}

TEST(RecorderPanel, EachScreenShowsItsControlsAndTexts) {
    for (const ScreenCase& c : screenCases()) {
        SCOPED_TRACE(c.title);
        Panel panel(c.state);
        ASSERT_TRUE(panel.exposed);
        for (const auto& [name, text] : c.shown) {
            QQuickItem* item = panel.one(name);
            if (!item) continue;
            if (*text) {
                EXPECT_EQ(said(item).toStdString(), text) << name;
            }
        }
        for (const char* name : c.absent) EXPECT_FALSE(panel.isShown(name)) << name;
    }
}

TEST(RecorderPanel, EveryIdentifiedControlCarriesItsNameAndIdentifierForAssistiveTechnology) {
    const struct {
        RecorderModel::PreviewState state;
        std::vector<std::pair<const char*, const char*>> controls;  // identifier, accessible name
    } cases[] = {
        {on(Screen::of(Kind::setup)),
         {{"close", "Close recorder"}, {"minimize", "Minimize recorder"}, {"start-recording", "Start recording"},
          {"account-menu", "Account"}, {"allow-accessibility", "Allow"}, {"mic-picker", "MacBook Pro M\u2026"},
          {"display-picker", "LG HDR 4K"}}},
        {on(Screen::recording(false)),
         {{"stop", "Stop recording"}, {"pause-resume", "Pause recording"}, {"restart", "Restart recording"},
          {"elapsed", "12:34"}}},
        {on(Screen::countdownOf(2)), {{"countdown", "2"}}},
        {on(Screen::saved("http://x/y")), {{"open-recording", "Open in Brindlow"}}},
    };
    for (const auto& c : cases) {
        Panel panel(c.state);
        for (const auto& [id, name] : c.controls) {
            QQuickItem* item = panel.one(id);
            ASSERT_NE(item, nullptr) << id;
            EXPECT_EQ(accessibleName(item).toStdString(), name) << id;
            EXPECT_EQ(accessibleDescription(item).toStdString(), id) << id;
        }
    }
}

TEST(RecorderPanel, CloseQuitsInSetupAsksDuringATakeAndWaitsWhileFinishing) {
    {
        Panel panel(on(Screen::of(Kind::setup)));
        QSignalSpy quit(panel.controller.get(), &RecorderController::quitRequested);
        panel.click(panel.one("close"));
        EXPECT_EQ(quit.count(), 1);
        EXPECT_FALSE(panel.popup("discard-confirmation")->property("opened").toBool());
    }
    for (const Screen& screen : {Screen::recording(false), Screen::recording(true), Screen::countdownOf(2)}) {
        SCOPED_TRACE(std::string(screen.name()));
        Panel panel(on(screen));
        QSignalSpy quit(panel.controller.get(), &RecorderController::quitRequested);
        panel.click(panel.one("close"));
        QObject* question = panel.popup("discard-confirmation");
        ASSERT_NE(question, nullptr);
        EXPECT_TRUE(QTest::qWaitFor([&] { return question->property("opened").toBool(); }, 3000));
        EXPECT_EQ(quit.count(), 0);
        EXPECT_EQ(question->property("title").toString().toStdString(), "Discard this recording?");
        EXPECT_EQ(question->property("message").toString().toStdString(), "Nothing from this take is saved.");
        EXPECT_EQ(said(panel.one("confirm-discard")).toStdString(), "Discard");
        EXPECT_EQ(said(panel.one("confirm-discard-cancel")).toStdString(), "Keep recording");
        // Keeping the take closes the question and changes nothing.
        panel.click(panel.one("confirm-discard-cancel"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !question->property("visible").toBool(); }, 3000));
        EXPECT_EQ(panel.model->screen(), screen);
    }
    {
        Panel panel(on(Screen::of(Kind::finishing)));
        QSignalSpy quit(panel.controller.get(), &RecorderController::quitRequested);
        QQuickItem* close = panel.one("close");
        ASSERT_NE(close, nullptr);
        EXPECT_FALSE(close->isEnabled());
        EXPECT_EQ(close->property("help").toString().toStdString(), "Saving your recording\u2026");
        panel.click(close);
        EXPECT_EQ(quit.count(), 0);
    }
}

TEST(RecorderPanel, DiscardingATakeReturnsToSetup) {
    Panel panel(on(Screen::recording(false)));
    panel.click(panel.one("close"));
    QObject* question = panel.popup("discard-confirmation");
    ASSERT_TRUE(QTest::qWaitFor([&] { return question->property("opened").toBool(); }, 3000));
    panel.click(panel.one("confirm-discard"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.model->screen().kind == Kind::setup; }, 3000));
}

TEST(RecorderPanel, ATakeThatEndsWhileTheDiscardQuestionIsOpenClosesIt) {
    Panel panel(on(Screen::recording(false)));
    panel.click(panel.one("close"));
    QObject* question = panel.popup("discard-confirmation");
    ASSERT_TRUE(QTest::qWaitFor([&] { return question->property("opened").toBool(); }, 3000));
    panel.model->showPreviewState(on(Screen::of(Kind::finishing)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !question->property("visible").toBool(); }, 3000));
}

TEST(RecorderPanel, RestartAsksFirstAndCancelKeepsTheTake) {
    Panel panel(on(Screen::recording(false)));
    QQuickItem* restart = panel.one("restart");
    ASSERT_NE(restart, nullptr);
    EXPECT_EQ(restart->property("help").toString().toStdString(),
              "Throw this take away and start again with the same setup");
    panel.click(restart);
    QObject* question = panel.popup("restart-confirmation");
    ASSERT_NE(question, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return question->property("opened").toBool(); }, 3000));
    EXPECT_EQ(question->property("title").toString().toStdString(), "Restart recording?");
    EXPECT_EQ(question->property("message").toString().toStdString(), "This take is thrown away and a new one starts.");
    EXPECT_EQ(said(panel.one("confirm-restart")).toStdString(), "Restart");
    EXPECT_EQ(said(panel.one("confirm-restart-cancel")).toStdString(), "Cancel");
    panel.click(panel.one("confirm-restart-cancel"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !question->property("visible").toBool(); }, 3000));
    EXPECT_EQ(panel.model->screen(), Screen::recording(false));
    // Asking again works: the flag was reset when the question closed.
    panel.click(panel.one("restart"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return question->property("opened").toBool(); }, 3000));
}

TEST(RecorderPanel, BacklogNoticeAppearsOnlyAboveSixtyFourMebibytes) {
    const struct {
        int64_t bytes;
        const char* notice;  // nullptr: none
    } cases[] = {
        {0, nullptr},
        {67'108'864, nullptr},
        {67'108'865, "Upload is behind by 67.1 MB. Keep recording \u2014 it catches up."},
        {70'200'000, "Upload is behind by 70.2 MB. Keep recording \u2014 it catches up."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        auto state = on(Screen::recording(false));
        state.backlogBytes = c.bytes;
        Panel panel(state);
        if (!c.notice) {
            EXPECT_FALSE(panel.isShown("backlog-notice"));
            continue;
        }
        QQuickItem* notice = panel.one("backlog-notice");
        ASSERT_NE(notice, nullptr);
        EXPECT_EQ(said(notice).toStdString(), c.notice);
    }
}

TEST(RecorderPanel, SetupNoticesFollowTheDisplayChoiceAndAccessibilityTrust) {
    const struct {
        const char* title;
        bool withScreen;
        bool trusted;
        bool offersAccessibility;
    } cases[] = {
        {"display chosen, trusted", true, true, false},
        {"display chosen, not trusted", true, false, true},
        {"no display, not trusted", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        auto state = on(Screen::of(Kind::setup));
        state.hasAccessibilityPermission = c.trusted;
        Panel panel(state, c.withScreen);
        EXPECT_EQ(panel.isShown("allow-accessibility"), c.offersAccessibility);
        EXPECT_EQ(panel.isShown("accessibility-notice"), c.offersAccessibility);
        // A preview never asks for screen capture; the rest of the notices stay empty.
        EXPECT_FALSE(panel.isShown("screen-capture-notice"));
        EXPECT_FALSE(panel.isShown("recorder-error"));
        EXPECT_FALSE(panel.isShown("backlog-notice"));
    }
}

TEST(RecorderPanel, AnErrorShowsInTheNoticesOutsideTheSignedOutScreen) {
    auto state = on(Screen::of(Kind::setup));
    state.error = "Screen Recording permission was denied.";
    Panel panel(state);
    EXPECT_EQ(said(panel.one("recorder-error")).toStdString(), "Screen Recording permission was denied.");
}

TEST(RecorderPanel, ToolbarIsUsableOnlyWhileSettingUp) {
    {
        Panel panel(on(Screen::of(Kind::setup)));
        for (const char* picker : {"mic-picker", "camera-picker", "display-picker"}) {
            QQuickItem* item = panel.one(picker);
            ASSERT_NE(item, nullptr);
            EXPECT_TRUE(item->isEnabled()) << picker;
        }
    }
    {
        Panel panel(on(Screen::recording(false)));
        for (const char* picker : {"mic-picker", "camera-picker", "display-picker"}) {
            QQuickItem* item = panel.one(picker);
            ASSERT_NE(item, nullptr);
            EXPECT_FALSE(item->isEnabled()) << picker;
        }
    }
}

TEST(RecorderPanel, DisplayPickerListsSizesAndSetsTheDisplayAndFrameRate) {
    Panel panel(on(Screen::of(Kind::setup)));
    panel.click(panel.one("display-picker"));
    QObject* menu = panel.popup("display-picker-menu");
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
    EXPECT_EQ(said(panel.one("display-picker-none")).toStdString(), "No screen");
    EXPECT_EQ(said(panel.one("display-picker-option-0")).toStdString(), "LG HDR 4K \u00b7 3840\u00d72160");
    EXPECT_EQ(said(panel.one("display-picker-option-1")).toStdString(),
              "Built-in Retina Display \u00b7 3024\u00d71964");
    EXPECT_EQ(said(panel.one("fps-30")).toStdString(), "30 fps");
    EXPECT_EQ(said(panel.one("fps-60")).toStdString(), "60 fps");
    EXPECT_TRUE(panel.one("fps-30")->property("chosen").toBool());

    panel.click(panel.one("fps-60"));
    EXPECT_EQ(panel.model->fps(), 60);

    panel.click(panel.one("display-picker"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
    panel.click(panel.one("display-picker-option-1"));
    EXPECT_EQ(panel.model->displayId(), std::optional<uint32_t>(2));
    EXPECT_EQ(said(panel.one("display-picker")).toStdString(), "Built-in Reti\u2026");

    panel.click(panel.one("display-picker"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
    panel.click(panel.one("display-picker-none"));
    EXPECT_EQ(panel.model->displayId(), std::nullopt);
    EXPECT_EQ(said(panel.one("display-picker")).toStdString(), "No screen");
}

TEST(RecorderPanel, DevicePickersTurnDevicesOff) {
    Panel panel(on(Screen::of(Kind::setup)));
    const struct {
        const char* picker;
        const char* offLabel;
    } cases[] = {{"mic-picker", "No mic"}, {"camera-picker", "No camera"}};
    for (const auto& c : cases) {
        const QString name = c.picker;
        panel.click(panel.one(name));
        QObject* menu = panel.popup(name + "-menu");
        ASSERT_NE(menu, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000)) << c.picker;
        panel.click(panel.one(name + "-none"));
        EXPECT_EQ(said(panel.one(name)).toStdString(), c.offLabel);
        EXPECT_TRUE(panel.one(name)->property("off").toBool());
    }
    EXPECT_EQ(panel.model->micId(), std::nullopt);
    EXPECT_EQ(panel.model->cameraId(), std::nullopt);
}

// The microphone menu's "Computer sound" turns it on and off, and where it cannot be
// recorded it cannot be chosen and says why.
TEST(RecorderPanel, ComputerSoundIsChosenInTheMicrophoneMenu) {
    const auto openMenu = [](const Panel& panel) {
        panel.click(panel.one("mic-picker"));
        QObject* menu = panel.popup("mic-picker-menu");
        ASSERT_NE(menu, nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
    };
    {
        Panel panel(on(Screen::of(Kind::setup)));
        openMenu(panel);
        EXPECT_FALSE(panel.isShown("computer-sound-problem"));
        panel.click(panel.one("computer-sound"));
        EXPECT_TRUE(panel.model->computerSound());
        EXPECT_EQ(said(panel.one("mic-picker")).toStdString(), "Mic + sound");
        openMenu(panel);
        EXPECT_TRUE(panel.one("computer-sound")->property("chosen").toBool());
        panel.click(panel.one("computer-sound"));
        EXPECT_FALSE(panel.model->computerSound());
    }
    auto unavailable = on(Screen::of(Kind::setup));
    unavailable.computerSoundProblem = "No sound server is running.";
    Panel panel(unavailable);
    openMenu(panel);
    EXPECT_FALSE(panel.one("computer-sound")->isEnabled());
    EXPECT_EQ(said(panel.one("computer-sound-problem")).toStdString(), "No sound server is running.");
    panel.click(panel.one("computer-sound"));
    EXPECT_FALSE(panel.model->computerSound());
}

TEST(RecorderPanel, AccountMenuSignsOut) {
    Panel panel(on(Screen::of(Kind::setup)));
    panel.click(panel.one("account-menu"));
    QObject* menu = panel.popup("account-menu-items");
    ASSERT_NE(menu, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
    panel.click(panel.one("sign-out"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.model->screen().kind == Kind::signedOut; }, 3000));
    EXPECT_FALSE(panel.model->user());
    EXPECT_TRUE(panel.isShown("sign-in"));
}

TEST(RecorderPanel, EnvironmentBadgeNamesANonProductionEnvironment) {
    Panel panel(on(Screen::of(Kind::setup)));
    QQuickItem* badge = panel.one("environment-badge");
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(accessibleName(badge).toStdString(), "dev");
}

TEST(RecorderPanel, PauseButtonSwapsItsSymbolWithThePause) {
    const struct {
        bool paused;
        const char* symbol;
        const char* label;
    } cases[] = {{false, "pause.fill", "Pause recording"}, {true, "play.fill", "Resume recording"}};
    for (const auto& c : cases) {
        Panel panel(on(Screen::recording(c.paused)));
        QQuickItem* button = panel.one("pause-resume");
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->property("systemImage").toString().toStdString(), c.symbol);
        EXPECT_EQ(button->property("label").toString().toStdString(), c.label);
    }
}

TEST(RecorderPanel, CornersAreTransparentAndThePanelOpaque) {
    Panel panel(on(Screen::of(Kind::setup)));
    auto grab = panel.window->contentItem()->grabToImage();
    ASSERT_TRUE(grab);
    QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
    ASSERT_TRUE(ready.wait(5000));
    const QImage image = grab->image();
    ASSERT_EQ(image.size(), QSize(320, 560));
    for (const QPoint corner : {QPoint(0, 0), QPoint(319, 0), QPoint(0, 559), QPoint(319, 559), QPoint(2, 2)})
        EXPECT_EQ(qAlpha(image.pixel(corner)), 0) << corner.x() << "," << corner.y();
    for (const QPoint inside : {QPoint(160, 280), QPoint(20, 20), QPoint(6, 280), QPoint(160, 4)})
        EXPECT_EQ(qAlpha(image.pixel(inside)), 255) << inside.x() << "," << inside.y();
}

TEST(RecorderWindow, IsAFramelessFixedSizeWindowTitledBrindlow) {
    Panel panel(on(Screen::of(Kind::setup)));
    RecorderWindow& w = *panel.window;
    EXPECT_EQ(w.title(), "Brindlow");
    EXPECT_TRUE(w.flags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w.flags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w.size(), QSize(320, 560));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_EQ(w.color().alpha(), 0);
}

// The window manager's close (Alt+F4, a task switcher's) never hides a take.
TEST(RecorderWindow, TheWindowManagersCloseActsAsTheCloseButton) {
    const struct {
        Screen screen;
        bool quits, asks;
    } cases[] = {
        {Screen::of(Kind::setup), true, false}, {Screen::of(Kind::saved), true, false},
        {Screen::countdownOf(2), false, true},  {Screen::recording(false), false, true},
        {Screen::recording(true), false, true}, {Screen::of(Kind::finishing), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.screen.name()));
        Panel panel(on(c.screen));
        QSignalSpy quit(panel.controller.get(), &RecorderController::quitRequested);
        panel.window->close();
        QObject* question = panel.popup("discard-confirmation");
        EXPECT_EQ(QTest::qWaitFor([&] { return question->property("opened").toBool(); },
                                  c.asks ? 3000 : 200),
                  c.asks);
        EXPECT_EQ(quit.count(), c.quits ? 1 : 0);
        EXPECT_TRUE(panel.window->isVisible());
        EXPECT_EQ(panel.model->screen(), c.screen);
    }
}

TEST(RecorderPanel, TheSignInAddressCanAlwaysBeCopiedAndIsOfferedWhenTheBrowserDidNotOpen) {
    const std::string address =
        "http://127.0.0.1:47800/desktop/sign-in?port=41234&state=0123456789abcdef";
    const struct {
        const char* title;
        Screen screen;
        std::optional<std::string> unopened;
        const char* box;
        const char* hint;  // the sign-in screen's first line; nullptr elsewhere
    } cases[] = {
        {"signing in", Screen::of(Kind::signingIn), std::nullopt, "sign-in-url",
         "Finish signing in in your browser."},
        {"signing in, no browser", Screen::of(Kind::signingIn), address, "sign-in-url",
         "Your browser didn't open. Open this address in a browser to sign in:"},
        {"saved, no browser", Screen::saved(address), address, "recording-url", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        auto state = on(c.screen);
        state.signInURL = address;
        state.unopenedURL = c.unopened;
        Panel panel(state);
        if (c.hint) {
            EXPECT_EQ(said(panel.one("sign-in-hint")).toStdString(), c.hint);
        }
        EXPECT_EQ(said(panel.one(c.box)).toStdString(), address);
        QGuiApplication::clipboard()->clear();
        QQuickItem* copy = panel.one(QString(c.box) + "-copy");
        EXPECT_EQ(said(copy).toStdString(), "Copy");
        panel.click(copy);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), address);
        EXPECT_TRUE(QTest::qWaitFor([&] { return said(copy) == "Copied"; }, 1000));
    }
    // A saved take whose page opened shows no address.
    Panel saved(on(Screen::saved(address)));
    EXPECT_FALSE(saved.isShown("recording-url"));
}

TEST(RecorderPanel, TheAccountMenuListsTheShortcutsOrWhyThereAreNone) {
    const struct {
        const char* title;
        QVariantList shortcuts;
        QString note;
        std::vector<std::string> rows;
    } cases[] = {
        {"grabbed",
         {QVariantMap{{"name", "Start or stop recording"}, {"keys", "Ctrl+Alt+R"}, {"note", ""}},
          QVariantMap{{"name", "Pause or resume"},
                      {"keys", "Ctrl+Alt+P"},
                      {"note", "taken by another app"}}},
         {},
         {"Start or stop recording Ctrl+Alt+R", "Pause or resume taken by another app"}},
        {"none offered", {}, "This desktop does not let apps have shortcuts.", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        Panel panel(on(Screen::of(Kind::setup)));
        panel.controller->setShortcuts(c.shortcuts, c.note);
        panel.click(panel.one("account-menu"));
        QObject* menu = panel.popup("account-menu-items");
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 3000));
        for (size_t i = 0; i < c.rows.size(); ++i)
            EXPECT_EQ(accessibleName(panel.one(QString("shortcut-%1").arg(i))).toStdString(),
                      c.rows[i]);
        EXPECT_FALSE(panel.isShown(QString("shortcut-%1").arg(c.rows.size())));
        EXPECT_EQ(panel.isShown("shortcuts-note"), !c.note.isEmpty());
        if (!c.note.isEmpty()) {
            EXPECT_EQ(said(panel.one("shortcuts-note")), c.note);
        }
    }
}

// Each screen as drawn off screen, kept in the build tree for review; every one must
// draw something on the panel and nothing in the corners.
TEST(RecorderPanel, DrawsEveryScreen) {
    const QString folder = QStringLiteral(BRINDLOW_UI_ARTIFACTS "/offscreen");
    QDir().mkpath(folder);
    auto backlogged = on(Screen::recording(false));
    backlogged.backlogBytes = 70'200'000;
    auto failedSignIn = on(Screen::of(Kind::signedOut));
    failedSignIn.signedIn = false;
    failedSignIn.error = "Couldn't load your account: the server answered 500.";
    auto diskFull = on(Screen::of(Kind::finishing));
    diskFull.error = RecordingSession::diskFullMessage;
    const std::string signInAddress =
        "http://127.0.0.1:47800/desktop/sign-in?port=41234&state=9f3c2a7be15d4c08a6e2";
    auto signingIn = on(Screen::of(Kind::signingIn));
    signingIn.signInURL = signInAddress;
    auto noBrowser = signingIn;
    noBrowser.unopenedURL = signInAddress;
    auto savedNoBrowser = on(Screen::saved("http://127.0.0.1:47800/screen-recorder/view/f-4b1d"));
    savedNoBrowser.unopenedURL = savedNoBrowser.screen.url;
    auto noDisplay = on(Screen::of(Kind::setup));
    noDisplay.displayProblem = "cannot open X display :0";
    auto withSound = on(Screen::of(Kind::setup));
    withSound.computerSound = true;
    auto soundUnavailable = on(Screen::of(Kind::setup));
    soundUnavailable.computerSoundProblem = "The sound server does not let apps hear what it plays.";
    const std::pair<const char*, RecorderModel::PreviewState> screens[] = {
        {"loading", on(Screen::of(Kind::loading))},
        {"signed-out", failedSignIn},
        {"signing-in", signingIn},
        {"signing-in-no-browser", noBrowser},
        {"saved-no-browser", savedNoBrowser},
        {"display-problem", noDisplay},
        {"setup", on(Screen::of(Kind::setup))},
        {"countdown", on(Screen::countdownOf(3))},
        {"recording", backlogged},
        {"paused", on(Screen::recording(true))},
        {"finishing", on(Screen::of(Kind::finishing))},
        {"saved", on(Screen::saved("http://127.0.0.1/screen-recorder/view/f"))},
        {"failed",
         on(Screen::failed("The recording was uploaded but could not be filed in your library.",
                           true))},
        {"upload-failed", on(Screen::failed(RecordingSession::uploadFailedMessage, true))},
        {"disk-full", diskFull},
    };
    // The questions and menus, opened by the control named second.
    const std::tuple<const char*, RecorderModel::PreviewState, const char*, const char*> opened[] = {
        {"discard-question", on(Screen::recording(false)), "close", "discard-confirmation"},
        {"restart-question", on(Screen::recording(false)), "restart", "restart-confirmation"},
        {"display-menu", on(Screen::of(Kind::setup)), "display-picker", "display-picker-menu"},
        {"mic-menu", on(Screen::of(Kind::setup)), "mic-picker", "mic-picker-menu"},
        {"mic-menu-computer-sound", withSound, "mic-picker", "mic-picker-menu"},
        {"mic-menu-no-computer-sound", soundUnavailable, "mic-picker", "mic-picker-menu"},
        {"account-menu", on(Screen::of(Kind::setup)), "account-menu", "account-menu-items"},
    };
    std::vector<std::tuple<const char*, RecorderModel::PreviewState, const char*, const char*>> all;
    for (const auto& [name, state] : screens) all.emplace_back(name, state, nullptr, nullptr);
    for (const auto& o : opened) all.push_back(o);
    for (const auto& [name, state, opener, popupName] : all) {
        SCOPED_TRACE(name);
        Panel panel(state);
        panel.controller->setShortcuts(
            {QVariantMap{{"name", "Start or stop recording"}, {"keys", "Ctrl+Alt+R"}, {"note", ""}},
             QVariantMap{{"name", "Pause or resume"}, {"keys", "Ctrl+Alt+P"}, {"note", ""}}},
            {});
        if (opener) {
            panel.click(panel.one(opener));
            QObject* popup = panel.popup(popupName);
            ASSERT_NE(popup, nullptr);
            ASSERT_TRUE(QTest::qWaitFor([&] { return popup->property("opened").toBool(); }, 3000));
        }
        auto grab = panel.window->contentItem()->grabToImage();
        ASSERT_TRUE(grab);
        QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
        ASSERT_TRUE(ready.wait(5000));
        const QImage image = grab->image();
        EXPECT_TRUE(image.save(folder + "/" + name + ".png"));
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8);
    }
}

}  // namespace
}  // namespace brindlow
