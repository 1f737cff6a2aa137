#include "app/desktop/SymbolProvider.h"

#include <QIcon>
#include <QPainter>

namespace tarvo::desktop {

QPixmap SymbolProvider::requestPixmap(const QString& id, QSize* size, const QSize& requested) {
    QSize want = requested.isValid() ? requested : QSize(32, 32);
    // NAME or NAME/RRGGBB: symbolic icons are drawn in one colour.
    QString name = id.section('/', 0, 0), colour = id.section('/', 1);
    QPixmap pixmap = QIcon::fromTheme(name).pixmap(want);
    if (!colour.isEmpty() && !pixmap.isNull()) {
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), QColor("#" + colour));
    }
    if (size) *size = pixmap.size();
    return pixmap;
}

} // namespace tarvo::desktop
