#pragma once

#include <QCameraDevice>
#include <QQuickPaintedItem>
#include <QVideoFrame>

#include <memory>

class QCamera;
class QMediaCaptureSession;
class QVideoSink;

namespace brindlow {

// The live camera picture behind the panel: a capture session of its own, independent
// of the camera source that records, drawn mirrored, filling the item (cropped, aspect
// kept) inside rounded corners. The session runs only while the item has a device and
// is visible; a null or missing device shows nothing. GUI thread only.
class CameraPreviewItem : public QQuickPaintedItem {
    Q_OBJECT
    Q_PROPERTY(QCameraDevice device READ device WRITE setDevice NOTIFY deviceChanged)
    Q_PROPERTY(qreal radius READ radius WRITE setRadius NOTIFY radiusChanged)
    // Whether a picture has arrived since the device was set.
    Q_PROPERTY(bool hasPicture READ hasPicture NOTIFY hasPictureChanged)

public:
    explicit CameraPreviewItem(QQuickItem* parent = nullptr);
    ~CameraPreviewItem() override;

    QCameraDevice device() const { return device_; }
    void setDevice(const QCameraDevice& device);
    qreal radius() const { return radius_; }
    void setRadius(qreal radius);
    bool hasPicture() const { return hasPicture_; }

    void paint(QPainter* painter) override;

Q_SIGNALS:
    void deviceChanged();
    void radiusChanged();
    void hasPictureChanged();

protected:
    void itemChange(ItemChange change, const ItemChangeData& value) override;

private:
    void reconfigure();
    void stopCamera();
    void frameArrived(const QVideoFrame& frame);

    QCameraDevice device_;
    qreal radius_ = 0;
    bool hasPicture_ = false;
    QVideoFrame frame_;  // the latest picture, drawn at the next paint
    std::unique_ptr<QMediaCaptureSession> session_;
    std::unique_ptr<QCamera> camera_;
    std::unique_ptr<QVideoSink> sink_;
};

}  // namespace brindlow
