#pragma once

#include <QQuickImageProvider>

namespace tarvo::desktop {

// "image://symbol/NAME[/RRGGBB]": the icon theme's symbol NAME (a
// freedesktop name), in that colour when given.
class SymbolProvider : public QQuickImageProvider {
  public:
    SymbolProvider() : QQuickImageProvider(QQuickImageProvider::Pixmap) {}
    QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requested) override;
};

} // namespace tarvo::desktop
