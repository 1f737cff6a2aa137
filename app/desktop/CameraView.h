#pragma once

#include "app/CameraFeed.h"

#include <QImage>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace tarvo::desktop {

// The feed's latest picture, mirrored as a mirror shows the user, filling
// the item (cropped, never stretched), inside rounded corners. Nothing is
// drawn without a picture: the view behind shows through.
class CameraView : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(tarvo::app::CameraFeed* feed READ feed WRITE setFeed NOTIFY feedChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY hasImageChanged)
    Q_PROPERTY(double radius MEMBER radius_ NOTIFY radiusChanged)

  public:
    explicit CameraView(QQuickItem* parent = nullptr);

    app::CameraFeed* feed() const { return feed_; }
    void setFeed(app::CameraFeed* feed);
    bool hasImage() const { return !picture_.isNull(); }
    void paint(QPainter* painter) override;

  signals:
    void feedChanged();
    void hasImageChanged();
    void radiusChanged();

  private:
    void take();

    QPointer<app::CameraFeed> feed_;
    QImage picture_;
    double radius_ = 14;
};

} // namespace tarvo::desktop
