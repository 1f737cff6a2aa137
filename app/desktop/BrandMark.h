#pragma once

#include <QIcon>
#include <QPainterPath>
#include <QString>

// Tarvo's mark: a bar and a "D" with a round hole, in an 18 x 16 box.
namespace tarvo::desktop::BrandMark {

// The mark's one path (even-odd), in the box's coordinates with y down.
QPainterPath path();
// The tray's icon: the mark on the app's blue tile, full when face unlock
// is on, faint when off.
QIcon trayIcon(bool active);
// What the tray icon says to a screen reader.
QString description(bool active);

} // namespace tarvo::desktop::BrandMark
