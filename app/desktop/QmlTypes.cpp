#include "app/desktop/QmlTypes.h"

#include "app/desktop/Shell.h"

#include <QGuiApplication>
#include <QJSEngine>
#include <QPalette>
#include <QQmlEngine>

namespace tarvo::desktop {
namespace {

// The shell hands itself to each engine it makes. The objects stay the
// shell's: an engine goes with every closed window, they don't.
template <typename Part> auto* shellOwned(QQmlEngine* engine, Part part) {
    auto* shell = qobject_cast<Shell*>(engine->property(Shell::engineProperty).value<QObject*>());
    decltype(&part(*shell)) object = nullptr;
    if (!shell) return object;
    object = &part(*shell);
    QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

} // namespace

app::AppModel* AppForeign::create(QQmlEngine* engine, QJSEngine*) {
    return shellOwned(
        engine, [](Shell & shell) -> auto& { return shell.model(); });
}

Views* ViewsForeign::create(QQmlEngine* engine, QJSEngine*) {
    return shellOwned(
        engine, [](Shell & shell) -> auto& { return shell.views(); });
}

Colours::Colours(QObject* parent) : QObject(parent) {
    QPalette palette = QGuiApplication::palette();
    bool dark = palette.color(QPalette::Window).lightness() < 128;
    window_ = palette.color(QPalette::Window);
    text_ = palette.color(QPalette::WindowText);
    secondary_ = dark ? QColor("#a0a0a5") : QColor("#6e6e73");
    accent_ = palette.color(QPalette::Highlight);
    card_ = dark ? QColor(255, 255, 255, 18) : QColor(0, 0, 0, 12);
    green_ = QColor("#2e9e44");
    orange_ = QColor("#e07b00");
}

} // namespace tarvo::desktop
