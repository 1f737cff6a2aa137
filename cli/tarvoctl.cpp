// tarvoctl: face unlock from the terminal. It drives the application's own
// models, so every rule, text and check is the app's.
#include "app/Interrupts.h"
#include "cli/Commands.h"
#include "cli/Terminal.h"

#include <QCoreApplication>
#include <cstdio>
#include <map>

namespace {

constexpr const char* help = R"(Usage: tarvoctl COMMAND [ARGUMENTS]

Face unlock for the lock screen, from the terminal.

Commands:
  status [--json]        what is set up, and what to do about the rest
  enroll [NAME]          enroll a face in six guided head poses (Ctrl-C cancels)
  faces [--json]         list the enrolled faces
  remove NAME            remove an enrolled face
  test                   check that the camera recognizes you
  password               save your login password (read without echo, or from
                         standard input when it isn't a terminal)
  on, off                turn face unlock on or off for the lock screens
  update-module          give the lock screens this installation's module
  uninstall              remove Tarvo, with your faces and settings
  config [KEY [VALUE]]   show or change a setting: sensitivity (0 to 1),
                         liveness (attention or blink), warm-up (on or off)
  camera [N|NAME|default]  list the cameras, or choose the one to use (by its
                         number or name; default: the first colour camera)
  diagnostics            print the support report (JSON)
  agent [--verbose]      run the agent until interrupted (--verbose: its log
                         on standard error too)
  agent --enable         run the agent at every login from now on: as the
                         systemd user service tarvo-agent.service, else from
                         an autostart entry (on does it too)
  agent --disable        no longer (off does it too)

on, off, update-module and uninstall need administrator rights: the saved
password opens sudo, else pkexec asks. As root, on and off take --user NAME
and change the lock screens for that user.

Exit status: 0 done, 1 failed, 2 wrong usage, 3 (agent) another agent
already runs.
)";

} // namespace

int main(int argc, char** argv) {
    tarvo::app::blockInterrupts();
    QCoreApplication application(argc, argv);
    QStringList args = application.arguments().mid(1);
    if (args.isEmpty()) return tarvo::cli::misuse("no command given");
    QString command = args.takeFirst();
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(help, stdout);
        return tarvo::cli::done;
    }
    using Command = int (*)(const QStringList&);
    namespace cli = tarvo::cli;
    static const std::map<QString, Command> commands = {{"status", cli::status},
                                                        {"enroll", cli::enroll},
                                                        {"faces", cli::faces},
                                                        {"remove", cli::remove},
                                                        {"test", cli::test},
                                                        {"password", cli::password},
                                                        {"on", cli::turnOn},
                                                        {"off", cli::turnOff},
                                                        {"update-module", cli::updateModule},
                                                        {"uninstall", cli::uninstall},
                                                        {"config", cli::config},
                                                        {"camera", cli::camera},
                                                        {"diagnostics", cli::diagnostics},
                                                        {"agent", cli::agent}};
    auto found = commands.find(command);
    if (found == commands.end()) return cli::misuse("unknown command '" + command + "'");
    return found->second(args);
}
