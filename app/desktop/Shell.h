#pragma once

#include "app/AppModel.h"
#include "app/desktop/GuiClipboard.h"
#include "app/desktop/Views.h"

#include <QMenu>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>

class QQuickWindow;

namespace tarvo::desktop {

// The application around the model: its one window, its tray icon and
// menu, and when each shows. Closing the window never quits the app (it
// may host the agent); the window's scene is let go until it shows again.
class Shell : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.tarvo.Tarvo")

  public:
    static constexpr const char* busName = "app.tarvo.Tarvo";
    // The engine's property naming the shell that made it: the views'
    // singletons are this shell's model and views.
    static constexpr const char* engineProperty = "tarvoShell";

    explicit Shell(app::AppModel::Machine machine = {}, QObject* parent = nullptr);
    ~Shell() override;

    // Loads the views; false when they could not be loaded.
    bool load();
    // Lets go of a hidden window's scene (its items, images, caches); the
    // next showMainWindow loads it again.
    void releaseWindow();
    // Reads the state, starts the agent, and shows the window unless
    // started at login with everything ready: then only the tray icon.
    void start(bool startedAtLogin);

    app::AppModel& model() { return *model_; }
    Views& views() { return views_; }
    QQuickWindow* window() const;

  public slots:
    // What a second start asks of the first: its window, in front.
    Q_SCRIPTABLE void Activate();
    // The menu's "Quit Tarvo", also for scripts.
    Q_SCRIPTABLE void Quit();
    void showMainWindow();

  private:
    void updateTray();
    void buildMenu();

    GuiClipboard clipboard_;
    std::unique_ptr<app::AppModel> model_;
    Views views_;
    std::unique_ptr<QQmlApplicationEngine> engine_; // while the window is loaded
    QSystemTrayIcon tray_;
    QMenu menu_;
    std::optional<bool> trayActive_;
};

} // namespace tarvo::desktop
