#include "app/desktop/BrandMark.h"

#include <QObject>
#include <QPainter>
#include <QPixmap>

namespace tarvo::desktop::BrandMark {

QPainterPath path() {
    // Drawn for a y axis pointing down: a vertical bar; a "D" whose bowl
    // bulges right; a hole in the bowl, cut by the even-odd rule.
    QPainterPath mark;
    mark.setFillRule(Qt::OddEvenFill);
    mark.addRoundedRect(QRectF(2.8, 3.0, 2.6, 10.0), 1.3, 1.3);
    mark.moveTo(8.0, 3.0);
    mark.lineTo(10.2, 3.0);
    mark.arcTo(QRectF(10.2 - 5.0, 8.0 - 5.0, 10.0, 10.0), 90, -180);
    mark.lineTo(8.0, 13.0);
    mark.closeSubpath();
    mark.addEllipse(QRectF(9.2, 6.4, 3.2, 3.2));
    return mark;
}

// Panels are light or dark, whatever the app's own palette: the mark goes
// on its blue tile, as in the app's icon, which reads on either.
QIcon trayIcon(bool active) {
    QIcon icon;
    for (int scale : {1, 2, 3}) {
        QPixmap pixmap(22 * scale, 22 * scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(scale, scale);
        painter.setOpacity(active ? 1.0 : 0.45);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x2f, 0x6f, 0xde));
        painter.drawRoundedRect(QRectF(1, 1, 20, 20), 4.4, 4.4);
        // The mark's middle (9, 8) on the tile's (11, 11).
        painter.translate(11, 11);
        painter.scale(1.1, 1.1);
        painter.translate(-9, -8);
        painter.fillPath(path(), Qt::white);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString description(bool active) {
    return active ? QObject::tr("Tarvo, face unlock on") : QObject::tr("Tarvo, face unlock off");
}

} // namespace tarvo::desktop::BrandMark
