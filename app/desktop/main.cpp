// tarvo: the desktop app. One instance per user: a second start asks the
// first, over the session bus, to show its window, and ends.
#include "app/Interrupts.h"
#include "app/desktop/Shell.h"
#include "platform/system/LoginItem.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QQuickStyle>
#include <cstdio>

int main(int argc, char** argv) {
    tarvo::app::blockInterrupts();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarvo");
    QApplication::setDesktopFileName("tarvo");
    QApplication::setQuitOnLastWindowClosed(false);
    QQuickStyle::setStyle("Fusion");

    using tarvo::desktop::Shell;
    auto bus = QDBusConnection::sessionBus();
    auto activateRunning = [&] {
        QDBusInterface(Shell::busName, "/", Shell::busName, bus).call("Activate");
        return 0;
    };
    if (bus.isConnected() && bus.interface()->isServiceRegistered(Shell::busName))
        return activateRunning();
    Shell shell;
    if (!shell.load()) {
        std::fprintf(stderr, "tarvo: the window could not be loaded\n");
        return 1;
    }
    if (bus.isConnected()) {
        bus.registerObject("/", &shell, QDBusConnection::ExportScriptableSlots);
        // Another start won the name in the meantime: it is the one.
        if (!bus.registerService(Shell::busName)) return activateRunning();
    }
    // The session's end, like Quit, stops the agent: its socket goes.
    tarvo::app::Interrupts interrupts([] { QApplication::quit(); });
    shell.start(tarvo::platform::LoginItem::startedAtLogin());
    return QApplication::exec();
}
