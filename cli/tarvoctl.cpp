// tarvoctl: face unlock from the terminal. It drives the application's own
// models, so every rule, text and check is the app's.
#include "app/Interrupts.h"
#include "cli/Commands.h"
#include "cli/Terminal.h"

#include <QCoreApplication>
#include <cstdio>
#include <vector>

namespace {

namespace cli = tarvo::cli;

// One way of calling a command, and what it does (lines after the first
// are indented as they are printed).
struct Form {
    const char* synopsis;
    const char* about;
};
struct Command {
    const char* name;
    int (*run)(const QStringList&);
    std::vector<Form> forms;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"status",
         cli::status,
         {{"status [--json]", "what is set up, and what to do about the rest"}}},
        {"enroll",
         cli::enroll,
         {{"enroll [NAME]", "enroll a face in six guided head poses (Ctrl-C cancels)"}}},
        {"faces",
         cli::faces,
         {{"faces [--json]", "list the enrolled faces"},
          {"faces --set-aside-damaged",
           "rename a damaged faces file (nothing is deleted),\nso that enrolling starts afresh"},
          {"faces --forget-learned",
           "forget the samples learned from your rooms, keeping\nwhat you enrolled"}}},
        {"remove", cli::remove, {{"remove NAME", "remove an enrolled face"}}},
        {"test", cli::test, {{"test", "check that the camera recognizes you"}}},
        {"password",
         cli::password,
         {{"password", "save your login password (read without echo, or from\nstandard input "
                       "when it isn't a terminal)"}}},
        {"on",
         cli::turnOn,
         {{"on", "turn face unlock on for the lock screens"},
          {"on --user NAME", "as root: the lock screens, for that user"}}},
        {"off",
         cli::turnOff,
         {{"off", "turn face unlock off for the lock screens"},
          {"off --user NAME", "as root: the lock screens, for that user"}}},
        {"update-module",
         cli::updateModule,
         {{"update-module", "give the lock screens this installation's module"}}},
        {"uninstall",
         cli::uninstall,
         {{"uninstall", "remove Tarvo, with your faces and settings"}}},
        {"config",
         cli::config,
         {{"config [KEY [VALUE]]", "show or change a setting: sensitivity (0 to 1),\nliveness "
                                   "(attention or blink), warm-up (on or off)"}}},
        {"camera",
         cli::camera,
         {{"camera [N|NAME|default]", "list the cameras, or choose the one to use (by its\nnumber "
                                      "or name; default: the first colour camera)"}}},
        {"diagnostics", cli::diagnostics, {{"diagnostics", "print the support report (JSON)"}}},
        {"agent",
         cli::agent,
         {{"agent [--verbose]", "run the agent until interrupted (--verbose: its log\non standard "
                                "error too)"},
          {"agent --enable", "run the agent at every login from now on: as the\nsystemd user "
                             "service tarvo-agent.service, else from\nan autostart entry (on does "
                             "it too)"},
          {"agent --disable", "no longer (off does it too)"}}},
    };
    return list;
}

void printForm(const Form& form, const char* prefix) {
    std::string synopsis = std::string(prefix) + form.synopsis;
    std::printf("  %-*s", 25, synopsis.c_str());
    if (synopsis.size() >= 25) std::printf("\n  %25s", "");
    for (const char* c = form.about; *c; ++c)
        *c == '\n' ? std::printf("\n  %25s", "") : std::putchar(*c);
    std::putchar('\n');
}

constexpr const char* rights =
    "on, off, update-module and uninstall need administrator rights: the saved\n"
    "password opens sudo, else pkexec asks. As root, on and off take --user NAME\n"
    "and change the lock screens for that user.\n";

void printHelp() {
    std::printf("Usage: tarvoctl COMMAND [ARGUMENTS]\n\n"
                "Face unlock for the lock screen, from the terminal.\n\n"
                "Commands (tarvoctl COMMAND --help tells one):\n");
    for (const auto& command : commands())
        for (const auto& form : command.forms)
            printForm(form, "");
    std::printf("\n%s\nExit status: 0 done, 1 failed, 2 wrong usage, 3 (agent) another agent\n"
                "already runs.\n",
                rights);
}

void printUsage(const Command& command) {
    std::printf("Usage:\n");
    for (const auto& form : command.forms)
        printForm(form, "tarvoctl ");
}

} // namespace

int main(int argc, char** argv) {
    tarvo::app::blockInterrupts();
    QCoreApplication application(argc, argv);
    QStringList args = application.arguments().mid(1);
    if (args.isEmpty()) return cli::misuse("no command given");
    QString name = args.takeFirst();
    if (name == "--help" || name == "-h" || name == "help") {
        printHelp();
        return cli::done;
    }
    for (const auto& command : commands()) {
        if (name != command.name) continue;
        // Asked anywhere among its arguments, help is all that happens.
        if (args.contains("--help") || args.contains("-h")) {
            printUsage(command);
            return cli::done;
        }
        return command.run(args);
    }
    return cli::misuse("unknown command '" + name + "'");
}
