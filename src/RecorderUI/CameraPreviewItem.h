#pragma once

#include <QQuickPaintedItem>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "Support/Concurrency.h"
#include "Support/SampleBuffer.h"

namespace brindlow {

class RecorderController;

// The live camera picture behind the panel, drawn mirrored, filling the item (cropped,
// aspect kept) inside rounded corners. Its pictures come from the platform's capture of
// the camera, the same one a take records through, so the preview keeps showing while a
// take of that camera runs. The camera is watched only while the item has a controller
// and a camera and is visible; opening and closing it happen off the GUI thread. GUI
// thread only.
class CameraPreviewItem : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QObject* controller READ controller WRITE setController NOTIFY controllerChanged)
    Q_PROPERTY(QString cameraId READ cameraId WRITE setCameraId NOTIFY cameraIdChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)
    // Whether a picture has arrived since the camera was set, and how many have been shown.
    Q_PROPERTY(bool hasPicture READ hasPicture NOTIFY hasPictureChanged)
    Q_PROPERTY(int picturesShown READ picturesShown NOTIFY picturesShownChanged)

public:
    // Pictures larger than this are scaled down by the capture before they reach the preview.
    static constexpr int maxPictureWidth = 1280, maxPictureHeight = 720;

    explicit CameraPreviewItem(QQuickItem* parent = nullptr);
    ~CameraPreviewItem() override;

    QObject* controller() const;
    void setController(QObject* controller);
    QString cameraId() const { return cameraId_; }
    void setCameraId(const QString& id);
    qreal radius() const { return radius_; }
    void setRadius(qreal radius);
    bool hasPicture() const { return hasPicture_; }
    int picturesShown() const { return picturesShown_; }

    void paint(QPainter* painter) override;

Q_SIGNALS:
    void controllerChanged();
    void cameraIdChanged();
    void radiusChanged();
    void hasPictureChanged();
    void picturesShownChanged();

protected:
    void itemChange(ItemChange change, const ItemChangeData& value) override;

private:
    // Where the capture thread leaves the newest picture for the GUI thread.
    struct Mailbox {
        std::mutex lock;
        std::optional<SampleBuffer> latest;  // guarded by lock
        uint64_t arrived = 0;                // guarded by lock
    };
    // The watch itself, touched only on the preview's queue.
    struct Feed {
        std::shared_ptr<void> watch;
    };

    void reconfigure();
    void stopWatching();
    void collect();

    RecorderController* controller_ = nullptr;
    QString cameraId_;
    QString watching_;  // the camera being watched, or empty
    qreal radius_ = 0;
    bool hasPicture_ = false;
    int picturesShown_ = 0;
    uint64_t collected_ = 0;
    std::optional<SampleBuffer> picture_;  // the latest picture, drawn at the next paint
    std::shared_ptr<Mailbox> mailbox_;
    QTimer poll_;
    std::shared_ptr<Feed> feed_ = std::make_shared<Feed>();
    SerialQueue queue_{"com.brindlow.recorder.preview"};  // last: stops before what its work uses
};

}  // namespace brindlow
