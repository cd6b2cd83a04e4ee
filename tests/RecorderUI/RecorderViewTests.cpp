// The recorder panel drawn off screen over a preview model: what each screen shows,
// which controls it offers and what they do.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QMap>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <string_view>

#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderWindow.h"

namespace brindlow {
namespace {

using Kind = Screen::Kind;

// One panel in a window of its own over a preview model in `state`.
class Panel {
public:
    explicit Panel(RecorderModel::PreviewState state) {
        model = RecorderModel::preview(state.screen, true, std::make_shared<QtMainExecutor>(qApp));
        controller = std::make_unique<RecorderController>(model);
        model->showPreviewState(state);
        window = std::make_unique<RecorderWindow>(controller.get());
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // Every item with this name that is on screen; popups keep theirs outside the content item.
    QList<QQuickItem*> shown(const QString& name) const {
        QList<QQuickItem*> found;
        for (QQuickItem* item : window->findChildren<QQuickItem*>(name))
            if (item->isVisible() && item->window() == window.get() && !found.contains(item)) found.push_back(item);
        return found;
    }
    QQuickItem* one(const QString& name) const {
        const auto found = shown(name);
        EXPECT_EQ(found.size(), 1) << name.toStdString();
        return found.isEmpty() ? nullptr : found.front();
    }
    // Whether the question or menu of that name is, or comes to be, open (or closed).
    bool becomes(const QString& popupName, bool open, int waitMs = 3000) const {
        QObject* p = window->findChild<QObject*>(popupName);
        return p && QTest::qWaitFor([&] { return p->property(open ? "opened" : "visible").toBool() == open; }, waitMs);
    }

    void click(QQuickItem* item) const {
        ASSERT_NE(item, nullptr);
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(window.get(), Qt::LeftButton, {}, centre.toPoint());
    }
    void click(const QString& name) const { click(one(name)); }
    // Clicks the control that opens a question or menu and waits until it is open.
    void open(const QString& opener) const {
        static const QMap<QString, QString> popups{{"close", "discard-confirmation"},
                                                   {"restart", "restart-confirmation"},
                                                   {"account-menu", "account-menu-items"}};
        click(opener);
        EXPECT_TRUE(becomes(popups.value(opener, opener + "-menu"), true)) << opener.toStdString();
    }

    std::shared_ptr<RecorderModel> model;
    std::unique_ptr<RecorderController> controller;
    std::unique_ptr<RecorderWindow> window;
};

RecorderModel::PreviewState on(Screen screen, std::function<void(RecorderModel::PreviewState&)> more = {}) {
    RecorderModel::PreviewState state;
    state.screen = std::move(screen);
    if (more) more(state);
    return state;
}

QString accessible(QQuickItem* item, QAccessible::Text which) {
    QAccessibleInterface* a = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
    return a ? a->text(which) : QString();
}

const char* const signInAddress = "http://127.0.0.1:47800/desktop/sign-in?port=41234&state=9f3c2a7be15d4c08a6e2";
const char* const recordingAddress = "http://127.0.0.1:47800/screen-recorder/view/f-4b1d";

// A control or text on screen, and what it says where that depends on the state.
struct Shown {
    const char* name;
    const char* text = "";
};

struct ScreenCase {
    const char* name;  // also the picture's
    RecorderModel::PreviewState state;
    std::vector<Shown> shown;
    std::vector<const char*> absent = {};
    std::vector<const char*> disabled = {};  // shown but not usable; everything else shown is
    const char* opener = nullptr;            // the question or menu it opens is shown open
    const char* copies = nullptr;            // an address box whose Copy button is pressed last
    QVariantList shortcuts = {};
    QString shortcutsNote = {};
};

// Plain texts: what they show is checked, and screen readers need not find them by identifier.
const QSet<QString> plainTexts{"elapsed-text", "sign-in-hint", "failure-message", "environment-badge"};

std::vector<ScreenCase> screenCases() {
    const auto setup = Screen::of(Kind::setup);
    return {
        {.name = "signed-out",
         .state = on(Screen::of(Kind::signedOut),
                     [](auto& s) { s.signedIn = false, s.error = "Couldn't load your account: it answered 500."; }),
         .shown = {{"sign-in"}, {"recorder-error", "Couldn't load your account: it answered 500."}},
         .absent = {"start-recording", "mic-picker", "account-menu", "elapsed"}},
        {.name = "signing-in", .state = on(Screen::of(Kind::signingIn), [](auto& s) { s.signInURL = signInAddress; }),
         .shown = {{"sign-in-hint", "Finish signing in in your browser."}, {"sign-in-url", signInAddress},
                   {"sign-in-url-copy", "Copy"}, {"cancel-sign-in"}},
         .absent = {"sign-in", "start-recording"}, .copies = "sign-in-url"},
        {.name = "setup", .state = on(setup),
         .shown = {{"start-recording"}, {"mic-picker", "MacBook Pro M\u2026"}, {"camera-picker", "FaceTime HD C\u2026"},
                   {"display-picker", "LG HDR 4K"}, {"account-menu"}, {"close"}, {"minimize"},
                   {"environment-badge", "dev"}, {"accessibility-notice"}, {"allow-accessibility"}},
         .absent = {"stop", "pause-resume", "countdown", "camera-placeholder", "recorder-error", "backlog-notice"}},
        // Computer sound chosen but not to be had: the picker names the microphone alone.
        {.name = "setup-trusted-computer-sound-unavailable", .state = on(setup, [](auto& s) {
             s.hasAccessibilityPermission = s.computerSound = true;
             s.computerSoundProblem = "No sound server is running.";
         }),
         .shown = {{"mic-picker", "MacBook Pro M\u2026"}}, .absent = {"allow-accessibility", "accessibility-notice"}},
        {.name = "countdown", .state = on(Screen::countdownOf(3)), .shown = {{"countdown", "3"}, {"cancel-countdown"}},
         .absent = {"start-recording", "stop", "mic-picker", "account-menu", "elapsed"}},
        {.name = "recording", .state = on(Screen::recording(false), [](auto& s) { s.backlogBytes = 70'200'000; }),
         .shown = {{"stop"}, {"pause-resume", "Pause recording"}, {"restart"}, {"elapsed", "12:34"},
                   {"elapsed-text", "12:34"}, {"mic-picker"}, {"camera-picker"}, {"display-picker"},
                   {"backlog-notice", "Upload is behind by 70.2 MB. Keep recording \u2014 it catches up."}},
         .absent = {"start-recording", "account-menu", "countdown"},
         .disabled = {"mic-picker", "camera-picker", "display-picker"}},
        {.name = "disk-full",
         .state = on(Screen::of(Kind::finishing), [](auto& s) { s.error = RecordingSession::diskFullMessage; }),
         .shown = {{"close"}, {"recorder-error", RecordingSession::diskFullMessage}}, .disabled = {"close"}},
        {.name = "saved", .state = on(Screen::saved(recordingAddress)),
         .shown = {{"open-recording"}, {"new-recording"}}, .absent = {"retry-save", "recording-url"}},
        {.name = "saved-no-browser",
         .state = on(Screen::saved(recordingAddress), [](auto& s) { s.unopenedURL = recordingAddress; }),
         .shown = {{"recording-url", recordingAddress}, {"open-recording"}}},
        {.name = "failed", .state = on(Screen::failed(RecordingSession::uploadFailedMessage, true)),
         .shown = {{"failure-message", RecordingSession::uploadFailedMessage}, {"retry-save"}, {"new-recording"}}},
        {.name = "failed-for-good", .state = on(Screen::failed("Not enough disk space.", false)),
         .shown = {{"failure-message", "Not enough disk space."}}, .absent = {"retry-save"}},
        {.name = "mic-menu-computer-sound", .state = on(setup, [](auto& s) { s.computerSound = true; }),
         .shown = {{"mic-picker-none"}, {"mic-picker-option-0", "MacBook Pro Microphone"}, {"computer-sound"}},
         .absent = {"computer-sound-problem"}, .opener = "mic-picker"},
        {.name = "mic-menu-no-computer-sound",
         .state = on(setup, [](auto& s) { s.computerSoundProblem = "The sound server does not let apps hear it."; }),
         .shown = {{"computer-sound"}, {"computer-sound-problem", "The sound server does not let apps hear it."}},
         .disabled = {"computer-sound", "computer-sound-problem"}, .opener = "mic-picker"},
        {.name = "account-menu", .state = on(setup),
         .shown = {{"sign-out"}, {"shortcut-0", "Start or stop recording Ctrl+Alt+R"},
                   {"shortcut-1", "Pause or resume taken by another app"}},
         .absent = {"shortcut-2", "shortcuts-note"}, .disabled = {"shortcut-0", "shortcut-1"},
         .opener = "account-menu",
         .shortcuts = {QVariantMap{{"name", "Start or stop recording"}, {"keys", "Ctrl+Alt+R"}, {"note", ""}},
                       QVariantMap{{"name", "Pause or resume"}, {"keys", "Ctrl+Alt+P"},
                                   {"note", "taken by another app"}}}},
        {.name = "account-menu-no-shortcuts", .state = on(setup),
         .shown = {{"shortcuts-note", "This desktop does not let apps have shortcuts."}}, .absent = {"shortcut-0"},
         .disabled = {"shortcuts-note"}, .opener = "account-menu",
         .shortcutsNote = "This desktop does not let apps have shortcuts."},
    };
}

// Each screen says what it should to a person and to a screen reader, offers only its
// own controls, and is drawn on an opaque rounded panel with clear corners. The
// pictures are kept in the build tree for review.
TEST(RecorderPanel, EachScreenShowsItsControlsAndTexts) {
    const QString folder = QStringLiteral(BRINDLOW_UI_ARTIFACTS "/offscreen");
    QDir().mkpath(folder);
    for (const ScreenCase& c : screenCases()) {
        SCOPED_TRACE(c.name);
        Panel panel(c.state);
        panel.controller->setShortcuts(c.shortcuts, c.shortcutsNote);
        if (c.opener) panel.open(c.opener);
        for (const auto& [name, text] : c.shown) {
            QQuickItem* item = panel.one(name);
            if (!item) continue;
            const bool plain = plainTexts.contains(name);
            const QVariant shows = item->property("text");
            if (*text) {
                EXPECT_EQ(plain && shows.isValid() ? shows.toString() : accessible(item, QAccessible::Name), text)
                    << name;
            }
            if (!plain) {
                EXPECT_FALSE(accessible(item, QAccessible::Name).isEmpty()) << name << " has nothing to be read out";
                EXPECT_EQ(accessible(item, QAccessible::Description).toStdString(), name);
            }
            EXPECT_EQ(item->isEnabled(), std::find(c.disabled.begin(), c.disabled.end(), std::string_view(name)) ==
                                             c.disabled.end())
                << name;
        }
        for (const char* name : c.absent) EXPECT_TRUE(panel.shown(name).isEmpty()) << name;

        auto grab = panel.window->contentItem()->grabToImage();
        ASSERT_TRUE(grab);
        QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
        ASSERT_TRUE(ready.wait(5000));
        const QImage image = grab->image();
        EXPECT_TRUE(image.save(folder + "/" + c.name + ".png"));
        ASSERT_EQ(image.size(), QSize(320, 560));
        for (const QPoint corner : {QPoint(0, 0), QPoint(319, 0), QPoint(0, 559), QPoint(319, 559), QPoint(2, 2)})
            EXPECT_EQ(qAlpha(image.pixel(corner)), 0) << corner.x() << "," << corner.y();
        for (const QPoint inside : {QPoint(160, 280), QPoint(20, 20), QPoint(6, 280), QPoint(160, 4)})
            EXPECT_EQ(qAlpha(image.pixel(inside)), 255) << inside.x() << "," << inside.y();

        if (!c.copies) continue;
        QGuiApplication::clipboard()->clear();
        QQuickItem* copy = panel.one(QString(c.copies) + "-copy");
        panel.click(copy);
        EXPECT_EQ(QGuiApplication::clipboard()->text(), accessible(panel.one(c.copies), QAccessible::Name));
        EXPECT_TRUE(QTest::qWaitFor([&] { return accessible(copy, QAccessible::Name) == "Copied"; }, 1000));
    }
}

// The close button and the window manager's close (Alt+F4, a task switcher's) alike: a
// take is never lost or hidden without asking, and a take being saved cannot be closed.
TEST(RecorderWindow, CloseQuitsOutsideATakeAsksDuringOneAndWaitsWhileSaving) {
    const struct {
        Screen screen;
        bool quits, asks;
    } cases[] = {
        {Screen::of(Kind::setup), true, false},   {Screen::countdownOf(2), false, true},
        {Screen::recording(false), false, true}, {Screen::of(Kind::finishing), false, false},
    };
    for (const auto& c : cases) {
        Panel panel(on(c.screen));
        QSignalSpy quit(panel.controller.get(), &RecorderController::quitRequested);
        for (const bool byWindowManager : {true, false}) {
            SCOPED_TRACE(std::string(c.screen.name()) + (byWindowManager ? ", window manager" : ", button"));
            if (byWindowManager) panel.window->close();
            else panel.click("close");
            EXPECT_EQ(panel.becomes("discard-confirmation", true, c.asks ? 3000 : 200), c.asks);
            EXPECT_EQ(quit.count(), c.quits ? 1 : 0);
            quit.clear();
            EXPECT_TRUE(panel.window->isVisible());
            EXPECT_EQ(panel.model->screen(), c.screen);
            if (!c.asks) continue;
            // Kept when first asked; asked again, and discarded.
            panel.click(byWindowManager ? "confirm-discard-cancel" : "confirm-discard");
            EXPECT_TRUE(panel.becomes("discard-confirmation", false));
            const Screen after = byWindowManager ? c.screen : Screen::of(Kind::setup);
            EXPECT_TRUE(QTest::qWaitFor([&] { return panel.model->screen() == after; }, 3000));
        }
    }
}

// Restarting waits for an answer; the discard question goes with a take that ends on its own.
TEST(RecorderPanel, TheQuestionsDuringATakeWaitForAnAnswer) {
    Panel panel(on(Screen::recording(false)));
    panel.open("restart");
    panel.click("confirm-restart-cancel");
    EXPECT_TRUE(panel.becomes("restart-confirmation", false));
    EXPECT_EQ(panel.model->screen(), Screen::recording(false));
    panel.open("close");
    panel.model->showPreviewState(on(Screen::of(Kind::finishing)));
    EXPECT_TRUE(panel.becomes("discard-confirmation", false));
}

// Each step opens a menu and picks an entry; the picker's label and the model follow.
TEST(RecorderPanel, ThePickersChooseAndTurnOffDevices) {
    Panel panel(on(Screen::of(Kind::setup)));
    const auto& m = *panel.model;
    const struct {
        const char* picker;
        const char* entry;
        bool chosenBefore;
        const char* label;
        bool off;
        std::function<bool()> done;
    } steps[] = {
        {"display-picker", "fps-60", false, "LG HDR 4K", false, [&] { return m.fps() == 60; }},
        {"display-picker", "display-picker-option-1", false, "Built-in Reti\u2026", false,
         [&] { return m.displayId() == std::optional<uint32_t>(2); }},
        {"display-picker", "display-picker-none", false, "No screen", true, [&] { return !m.displayId(); }},
        {"mic-picker", "computer-sound", false, "Mic + sound", false, [&] { return m.computerSound(); }},
        {"mic-picker", "computer-sound", true, "MacBook Pro M\u2026", false, [&] { return !m.computerSound(); }},
        {"mic-picker", "mic-picker-none", false, "No mic", true, [&] { return !m.micId(); }},
        {"camera-picker", "camera-picker-none", false, "No camera", true, [&] { return !m.cameraId(); }},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.entry);
        panel.open(s.picker);
        QQuickItem* entry = panel.one(s.entry);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->property("chosen").toBool(), s.chosenBefore);
        panel.click(entry);
        EXPECT_TRUE(s.done());
        QQuickItem* picker = panel.one(s.picker);
        EXPECT_EQ(accessible(picker, QAccessible::Name).toStdString(), s.label);
        EXPECT_EQ(picker->property("off").toBool(), s.off);
    }
    panel.open("account-menu");
    panel.click("sign-out");
    EXPECT_TRUE(QTest::qWaitFor([&] { return m.screen().kind == Kind::signedOut && !m.user(); }, 3000));
}

}  // namespace
}  // namespace brindlow
