// The panel's live preview and a take of the same camera, through the model and the
// views, on a camera that lets one handle stream at a time (as V4L2 drivers do).

#include <gtest/gtest.h>

#include <QDir>
#include <QPointer>
#include <QQuickItem>
#include <QTest>

#include "Capture/CameraCapture.h"
#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "QtMainExecutor.h"
#include "RecorderController.h"
#include "RecorderWindow.h"
#include "Support/DevServerProcess.h"
#include "Support/FakeCamera.h"
#include "Support/FakeMachine.h"
#include "Support/MemoryTokenStore.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;

// A machine with one camera behind the fake seam and nothing else to record.
class OneCameraMachine final : public testing::FakeMachine {
public:
    explicit OneCameraMachine(std::shared_ptr<testing::FakeCamera> camera) : camera_(std::move(camera)) {
        cameraList = {{device.id, device.name}};
        spool = fs::temp_directory_path() / ("brindlow-preview-spool-" + randomUUID());
    }
    std::shared_ptr<CaptureSource> makeCameraSource(const std::string&) override {
        return std::make_shared<CameraSource>(device, camera_);
    }
    std::shared_ptr<void> watchCamera(const std::string&, CaptureSize fit,
                                      std::function<void(const SampleBuffer&)> onPicture) override {
        return std::shared_ptr<CameraWatch>(CameraCapture::of(device, camera_)->watch(std::move(onPicture), fit));
    }
    SegmentEncoderFactory encoderFactory() override {
        FFmpegSegmentEncoder::Options o;
        o.logEncoderChoice = false;
        o.allowHardware = false;
        return FFmpegSegmentEncoder::factory(o);
    }

    const CameraDevice device{"usb-Fake_Cam-video-index0", "Fake Cam", "/dev/video0"};

private:
    std::shared_ptr<testing::FakeCamera> camera_;
};

// The preview shows the camera in setup and keeps showing it while the take records it
// from the same handle; after the take the preview comes back. What the take's camera
// stream holds while a preview watches is the camera capture tests' to show.
TEST(CameraPreviewInATake, ThePreviewSharesTheCameraWithTheTakeAndComesBackAfterIt) {
    testing::DevServerProcess server;
    auto camera = std::make_shared<testing::FakeCamera>();
    camera->modes = {{V4L2_PIX_FMT_YUYV, 160, 120, {testing::at30}, {}}};
    camera->picture = testing::yuyv(160, 120, 81, 90, 240);
    auto machine = std::make_shared<OneCameraMachine>(camera);
    RecorderModel::Dependencies d;
    d.env = server.environment();
    d.transport = server.transport();
    d.store = std::make_shared<testing::MemoryTokenStore>(StoredSession{"alice", server.signIn("alice").second});
    d.platform = machine;
    d.main = std::make_shared<QtMainExecutor>(qApp);
    auto model = RecorderModel::make(std::move(d));
    RecorderController controller(model);
    RecorderWindow window(&controller);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    bool loaded = false;
    model->load([&] { loaded = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return loaded && model->screen().kind == Screen::Kind::setup; }, 10'000));
    model->setCameraId(machine->device.id);
    model->setCountdownSeconds(0);

    // One preview item from setup to the end of the take: one made again starts black.
    QPointer<QQuickItem> preview;
    const auto pictures = [&] { return preview ? preview->property("picturesShown").toInt() : -1; };
    const auto showing = [&] {
        return QTest::qWaitFor([&] {
            preview = window.contentItem()->findChild<QQuickItem*>("camera-preview");
            return pictures() > 3;
        }, 5000);
    };
    ASSERT_TRUE(showing()) << "the preview shows nothing in setup";
    model->record();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->screen().kind == Screen::Kind::recording; }, 10'000));
    const int atStart = pictures();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pictures() > atStart + 20; }, 10'000)) << "the preview froze in the take";
    QDir().mkpath(BRINDLOW_UI_ARTIFACTS);
    window.grabWindow().save(QString(BRINDLOW_UI_ARTIFACTS) + "/recording-with-camera-preview.png");
    {
        std::lock_guard lock(camera->mutex);
        EXPECT_EQ(camera->streamsStarted, 1) << "the take's start reopened the camera";
    }
    model->stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->screen().kind == Screen::Kind::saved; }, 20'000))
        << model->screen().message;
    model->newRecording();
    EXPECT_TRUE(showing()) << "the preview shows nothing after the take";

    std::lock_guard lock(camera->mutex);
    EXPECT_EQ(camera->busyRefusals, 0);
    fs::remove_all(machine->spool);
}

}  // namespace
}  // namespace brindlow
