#include "app/desktop/Shell.h"

#include "app/desktop/BrandMark.h"
#include "app/desktop/SymbolProvider.h"
#include "core/face/FaceEngine.h"
#include "platform/face/ResidentMemory.h"

#include <QApplication>
#include <QIcon>
#include <QPixmapCache>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTimer>
#include <malloc.h>

// The views' module is compiled into this static library, where nothing
// else would reach its type registration: the linker would drop it.
void qml_register_types_Tarvo();
static void keepViews() {
    [[maybe_unused]] volatile auto registration = &qml_register_types_Tarvo;
}

namespace tarvo::desktop {
namespace {

app::AppModel::Machine withClipboard(app::AppModel::Machine machine, GuiClipboard* clipboard) {
    if (!machine.clipboard) machine.clipboard = clipboard;
    return machine;
}

} // namespace

Shell::Shell(app::AppModel::Machine machine, QObject* parent)
    : QObject(parent),
      model_(std::make_unique<app::AppModel>(withClipboard(std::move(machine), &clipboard_))),
      views_(model_.get()) {
    keepViews();
    // The desktop's icon theme, else (no theme, or the bare hicolor one
    // of a desktop without settings) Debian's GNOME theme and its symbols.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") {
        QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() +
                                   QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                                             "icons",
                                                             QStandardPaths::LocateDirectory));
        QIcon::setThemeName("Adwaita");
    }
    QIcon::setFallbackThemeName("Adwaita");

    connect(model_.get(), &app::AppModel::derivedChanged, this, &Shell::updateTray);
    connect(model_.get(), &app::AppModel::quitRequested, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    connect(&menu_, &QMenu::aboutToShow, this, &Shell::buildMenu);
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](auto reason) {
        if (reason == QSystemTrayIcon::Trigger) showMainWindow();
    });
    tray_.setContextMenu(&menu_);
    updateTray();
}

Shell::~Shell() = default;

bool Shell::load() {
    engine_ = std::make_unique<QQmlApplicationEngine>();
    engine_->setProperty(engineProperty, QVariant::fromValue<QObject*>(this));
    engine_->addImportPath("qrc:/qt/qml");
    engine_->addImageProvider("symbol", new SymbolProvider);
    engine_->load(QUrl("qrc:/qt/qml/Tarvo/Main.qml"));
    auto* loaded = window();
    if (!loaded) return false;
    // A tray app is closed far more often than quit: what the closed window
    // held (about half of the app's memory) goes until it opens again.
    connect(loaded, &QWindow::visibleChanged, this, [this](bool visible) {
        if (!visible) QTimer::singleShot(0, this, &Shell::releaseWindow);
    });
    return true;
}

void Shell::releaseWindow() {
    auto* shown = window();
    if (!shown || shown->isVisible()) return;
    // The engine goes with its window: its compiled views, its JavaScript
    // heap and its images are the bulk of what the window held.
    engine_.reset();
    QPixmapCache::clear();
    // Models an enrollment or a test of this window loaded (their release
    // trims the heap and hands back the pages read of mapped libraries); an
    // agent of this process keeps (and releases) its own.
    if (!model_->hostsAgent()) return FaceEngine::release();
    ::malloc_trim(0);
    // The pages the window read of Qt Quick's and the style's libraries:
    // read again when it opens.
    platform::returnLibraryPages();
}

QQuickWindow* Shell::window() const {
    if (!engine_) return nullptr;
    auto roots = engine_->rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.first());
}

void Shell::start(bool startedAtLogin) {
    model_->bootstrap();
    tray_.show();
    if (startedAtLogin && model_->isReady()) return releaseWindow();
    showMainWindow();
}

void Shell::Activate() {
    showMainWindow();
}

void Shell::Quit() {
    QCoreApplication::quit();
}

void Shell::showMainWindow() {
    if (!window() && !load()) return;
    if (auto* shown = window()) {
        shown->show();
        shown->raise();
        shown->requestActivate();
    }
}

// The model publishes many times a refresh; the icon (and the menu's
// "Finish Setting Up…") change only with whether face unlock is on.
void Shell::updateTray() {
    bool active = model_->isReady();
    if (trayActive_ == active) return;
    trayActive_ = active;
    buildMenu();
    tray_.setIcon(BrandMark::trayIcon(active));
    tray_.setToolTip(BrandMark::description(active));
}

// Rebuilt from the model each time the menu opens.
void Shell::buildMenu() {
    menu_.clear();
    menu_.addAction(tr("Tarvo: %1").arg(model_->statusSummary()))->setEnabled(false);
    if (!model_->isReady()) {
        menu_.addSeparator();
        connect(menu_.addAction(tr("Finish Setting Up…")), &QAction::triggered, this,
                &Shell::showMainWindow);
    }
    menu_.addSeparator();
    connect(menu_.addAction(tr("Open Tarvo…")), &QAction::triggered, this, &Shell::showMainWindow);
    menu_.addSeparator();
    auto* quit = menu_.addAction(tr("Quit Tarvo"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &Shell::Quit);
}

} // namespace tarvo::desktop
