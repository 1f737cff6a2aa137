#include "app/desktop/QmlTypes.h"

#include "app/desktop/Shell.h"

#include <QGuiApplication>
#include <QJSEngine>
#include <QPalette>
#include <QQmlEngine>

namespace tarvo::desktop {
namespace {

// The shell hands itself to each engine it makes.
Shell* shellOf(QQmlEngine* engine) {
    return qobject_cast<Shell*>(engine->property(Shell::engineProperty).value<QObject*>());
}

// The objects stay the shell's: an engine goes with every closed window,
// they don't.
template <typename T> T* keptByShell(T* object) {
    if (object) QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

} // namespace

app::AppModel* AppForeign::create(QQmlEngine* engine, QJSEngine*) {
    auto* shell = shellOf(engine);
    return keptByShell(shell ? &shell->model() : nullptr);
}

Views* ViewsForeign::create(QQmlEngine* engine, QJSEngine*) {
    auto* shell = shellOf(engine);
    return keptByShell(shell ? &shell->views() : nullptr);
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
