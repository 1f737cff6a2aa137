#include "app/desktop/CameraView.h"

#include <QPainter>
#include <QPainterPath>
#include <opencv2/imgproc.hpp>

namespace tarvo::desktop {

CameraView::CameraView(QQuickItem* parent) : QQuickPaintedItem(parent) {
    setAntialiasing(true);
}

void CameraView::setFeed(app::CameraFeed* feed) {
    if (feed_ == feed) return;
    if (feed_) disconnect(feed_, nullptr, this, nullptr);
    feed_ = feed;
    if (feed_) connect(feed_, &app::CameraFeed::imageChanged, this, &CameraView::take);
    take();
    emit feedChanged();
}

// The frame is copied into a mirrored QImage once, here, rather than at
// every paint.
void CameraView::take() {
    bool had = hasImage();
    picture_ = QImage();
    if (feed_ && !feed_->image().empty()) {
        cv::Mat rgb;
        cv::cvtColor(feed_->image(), rgb, cv::COLOR_BGR2RGB);
        cv::flip(rgb, rgb, 1);
        picture_ =
            QImage(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888).copy();
    }
    if (had != hasImage()) emit hasImageChanged();
    update();
}

void CameraView::paint(QPainter* painter) {
    if (picture_.isNull()) return;
    QRectF area = boundingRect();
    QPainterPath corners;
    corners.addRoundedRect(area, radius_, radius_);
    painter->setClipPath(corners);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    // Aspect fill: scale until both sides are covered, centre the rest.
    double scale = std::max(area.width() / picture_.width(), area.height() / picture_.height());
    QSizeF size(picture_.width() * scale, picture_.height() * scale);
    QRectF target(area.center().x() - size.width() / 2, area.center().y() - size.height() / 2,
                  size.width(), size.height());
    painter->drawImage(target, picture_);
}

} // namespace tarvo::desktop
