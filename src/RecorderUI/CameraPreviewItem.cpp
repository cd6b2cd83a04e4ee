#include "CameraPreviewItem.h"

#include <QImage>
#include <QPainter>
#include <QtMath>

#include <libyuv/convert_argb.h>

#include "RecorderController.h"

namespace brindlow {

CameraPreviewItem::CameraPreviewItem(QQuickItem* parent) : QQuickPaintedItem(parent) {
    // Pictures are collected at the camera's own pace; the GUI only looks when one came.
    poll_.setInterval(1000 / 60);
    connect(&poll_, &QTimer::timeout, this, &CameraPreviewItem::collect);
}

CameraPreviewItem::~CameraPreviewItem() { stopWatching(); }

QObject* CameraPreviewItem::controller() const { return controller_; }

void CameraPreviewItem::setController(QObject* controller) {
    auto* typed = qobject_cast<RecorderController*>(controller);
    if (typed == controller_) return;
    controller_ = typed;
    Q_EMIT controllerChanged();
    reconfigure();
}

void CameraPreviewItem::setCameraId(const QString& id) {
    if (id == cameraId_) return;
    cameraId_ = id;
    Q_EMIT cameraIdChanged();
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
    const QString wanted = controller_ && isVisible() && window() ? cameraId_ : QString();
    if (wanted == watching_) return;
    stopWatching();
    if (wanted.isEmpty()) return;
    watching_ = wanted;
    auto mailbox = std::make_shared<Mailbox>();
    mailbox_ = mailbox;
    collected_ = 0;
    const auto platform = controller_->model()->platform();
    queue_.async([feed = feed_, platform, id = wanted.toStdString(), mailbox] {
        feed->watch = platform->watchCamera(id, CaptureSize{maxPictureWidth, maxPictureHeight},
                                            [mailbox](const SampleBuffer& picture) {
                                                std::lock_guard lock(mailbox->lock);
                                                mailbox->latest = picture;
                                                ++mailbox->arrived;
                                            });
    });
    poll_.start();
}

void CameraPreviewItem::stopWatching() {
    poll_.stop();
    mailbox_.reset();
    if (!watching_.isEmpty()) queue_.async([feed = feed_] { feed->watch.reset(); });
    watching_.clear();
    picture_.reset();
    if (hasPicture_) {
        hasPicture_ = false;
        Q_EMIT hasPictureChanged();
    }
    update();
}

void CameraPreviewItem::collect() {
    if (!mailbox_) return;
    std::optional<SampleBuffer> latest;
    {
        std::lock_guard lock(mailbox_->lock);
        if (mailbox_->arrived == collected_) return;
        collected_ = mailbox_->arrived;
        latest = mailbox_->latest;
    }
    if (!latest || !latest->videoFrame()) return;
    picture_ = std::move(latest);
    ++picturesShown_;
    Q_EMIT picturesShownChanged();
    if (!hasPicture_) {
        hasPicture_ = true;
        Q_EMIT hasPictureChanged();
    }
    update();
}

void CameraPreviewItem::paint(QPainter* painter) {
    if (!picture_ || width() <= 0 || height() <= 0) return;
    const VideoFrame& frame = *picture_->videoFrame();
    QImage image(frame.width, frame.height, QImage::Format_ARGB32);
    // The pictures are BT.709, video range, as the camera source makes them.
    libyuv::NV12ToARGBMatrix(frame.lumaPlane().data(), frame.strideY, frame.chromaPlane().data(), frame.strideUV,
                             image.bits(), int(image.bytesPerLine()), &libyuv::kYuvH709Constants, frame.width,
                             frame.height);
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
