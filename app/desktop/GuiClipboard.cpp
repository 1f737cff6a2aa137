#include "app/desktop/GuiClipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace tarvo::desktop {

void GuiClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

} // namespace tarvo::desktop
