#include "CameraPreviewItem.h"

#include <QCamera>
#include <QCameraFormat>
#include <QMediaCaptureSession>
#include <QPainter>
#include <QtMath>
#include <QVideoSink>

namespace brindlow {

namespace {

// A preview needs no more than 720p; larger formats only cost conversion time.
QCameraFormat previewFormat(const QCameraDevice& device) {
    QCameraFormat best;
    for (const QCameraFormat& format : device.videoFormats()) {
        const QSize size = format.resolution();
        if (size.width() > 1280 || size.height() > 720 || format.maxFrameRate() < 15) continue;
        if (best.isNull() || size.width() * size.height() > best.resolution().width() * best.resolution().height())
            best = format;
    }
    return best;
}

}  // namespace

CameraPreviewItem::CameraPreviewItem(QQuickItem* parent) : QQuickPaintedItem(parent) {}

CameraPreviewItem::~CameraPreviewItem() { stopCamera(); }

void CameraPreviewItem::setDevice(const QCameraDevice& device) {
    if (device == device_) return;
    device_ = device;
    Q_EMIT deviceChanged();
    reconfigure();
}

void CameraPreviewItem::setRadius(qreal radius) {
    if (qFuzzyCompare(radius, radius_)) return;
    radius_ = radius;
    Q_EMIT radiusChanged();
    update();
}

void CameraPreviewItem::itemChange(ItemChange change, const ItemChangeData& value) {
    QQuickPaintedItem::itemChange(change, value);
    if (change == ItemVisibleHasChanged || change == ItemSceneChange) reconfigure();
}

void CameraPreviewItem::reconfigure() {
    const bool wanted = !device_.isNull() && isVisible() && window();
    if (camera_ && (!wanted || camera_->cameraDevice() != device_)) stopCamera();
    if (!wanted || camera_) return;
    sink_ = std::make_unique<QVideoSink>();
    // Pictures may arrive on a media thread; the queued hop brings them here.
    connect(sink_.get(), &QVideoSink::videoFrameChanged, this, &CameraPreviewItem::frameArrived,
            Qt::QueuedConnection);
    camera_ = std::make_unique<QCamera>(device_);
    if (const QCameraFormat format = previewFormat(device_); !format.isNull()) camera_->setCameraFormat(format);
    session_ = std::make_unique<QMediaCaptureSession>();
    session_->setCamera(camera_.get());
    session_->setVideoSink(sink_.get());
    camera_->start();
}

void CameraPreviewItem::stopCamera() {
    if (camera_) camera_->stop();
    if (session_) {
        session_->setVideoSink(nullptr);
        session_->setCamera(nullptr);
    }
    session_.reset();
    camera_.reset();
    if (sink_) sink_->disconnect(this);
    sink_.reset();
    frame_ = {};
    if (hasPicture_) {
        hasPicture_ = false;
        Q_EMIT hasPictureChanged();
    }
    update();
}

void CameraPreviewItem::frameArrived(const QVideoFrame& frame) {
    if (!camera_) return;
    frame_ = frame;
    if (!hasPicture_ && frame.isValid()) {
        hasPicture_ = true;
        Q_EMIT hasPictureChanged();
    }
    update();
}

void CameraPreviewItem::paint(QPainter* painter) {
    if (!frame_.isValid()) return;
    const QImage image = frame_.toImage();
    if (image.isNull() || width() <= 0 || height() <= 0) return;
    // Aspect fill: the part of the picture with the item's proportions, centred.
    const qreal scale = std::max(width() / image.width(), height() / image.height());
    const QSizeF shown(width() / scale, height() / scale);
    const QRectF source((image.width() - shown.width()) / 2, (image.height() - shown.height()) / 2, shown.width(),
                        shown.height());
    // Mirrored, as people expect to see themselves; drawn as a brush so that the
    // rounded corners are smooth.
    const QImage picture = image.copy(source.toAlignedRect())
                               .mirrored(true, false)
                               .scaled(QSize(qCeil(width()), qCeil(height())), Qt::IgnoreAspectRatio,
                                       Qt::SmoothTransformation);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(picture);
    painter->drawRoundedRect(QRectF(0, 0, width(), height()), radius_, radius_);
}

}  // namespace brindlow
