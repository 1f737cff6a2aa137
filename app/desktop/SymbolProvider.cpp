#include "app/desktop/SymbolProvider.h"

#include "app/desktop/BrandMark.h"

#include <QIcon>
#include <QPainter>

namespace tarvo::desktop {

QPixmap SymbolProvider::requestPixmap(const QString& id, QSize* size, const QSize& requested) {
    QSize want = requested.isValid() ? requested : QSize(32, 32);
    QPixmap pixmap;
    if (id == "tarvo") {
        // The application's mark on its rounded tile.
        pixmap = QPixmap(want);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor("#2f6fde"));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRectF(0, 0, want.width(), want.height()), want.width() * 0.22,
                                want.height() * 0.22);
        double scale = want.width() / 18.0 * 0.7;
        painter.translate(want.width() * 0.15, (want.height() - 16 * scale) / 2);
        painter.scale(scale, scale);
        painter.fillPath(BrandMark::path(), Qt::white);
    } else {
        // NAME or NAME/RRGGBB: symbolic icons are drawn in one colour.
        QString name = id.section('/', 0, 0), colour = id.section('/', 1);
        pixmap = QIcon::fromTheme(name).pixmap(want);
        if (!colour.isEmpty() && !pixmap.isNull()) {
            QPainter painter(&pixmap);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(pixmap.rect(), QColor("#" + colour));
        }
    }
    if (size) *size = pixmap.size();
    return pixmap;
}

} // namespace tarvo::desktop
