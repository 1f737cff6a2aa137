#include "cli/Commands.h"

#include "app/AppModel.h"
#include "app/EnrollModel.h"
#include "app/Interrupts.h"
#include "app/Settings.h"
#include "app/TestModel.h"
#include "cli/Terminal.h"
#include "core/agent/StoredPassword.h"
#include "core/base/Secret.h"
#include "core/base/Text.h"
#include "core/face/EnrollmentPlan.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Log.h"
#include "core/store/ModelScale.h"
#include "core/system/AgentHome.h"
#include "core/system/CameraCheck.h"
#include "core/system/Diagnostics.h"
#include "core/system/SystemInstaller.h"
#include "platform/face/VideoSource.h"
#include "platform/store/UserDatabase.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <unistd.h>
#include <variant>

namespace tarvo::cli {
namespace {

using app::AppModel;
using app::Interrupts;

void out(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Runs the main loop until `signal` of `sender` comes.
template <typename Sender, typename Signal> void await(Sender* sender, Signal signal) {
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    loop.exec();
}

// A model that looks at the system and never hosts an agent of its own.
std::unique_ptr<AppModel> looking() {
    AppModel::Machine machine;
    machine.hostsAgent = false;
    auto model = std::make_unique<AppModel>(machine);
    model->refresh();
    return model;
}

bool wantsJson(const QStringList& args) {
    return args == QStringList{"--json"};
}

void printJson(const QJsonValue& value) {
    auto text = value.isArray() ? QJsonDocument(value.toArray()).toJson()
                                : QJsonDocument(value.toObject()).toJson();
    std::fputs(text.constData(), stdout);
}

const QString setAsideCommand = "tarvoctl faces --set-aside-damaged";

// A faces file that can't be read stops every command on faces before it
// starts, with the way out; nothing when it can be read.
std::optional<int> facesUnreadable() {
    auto problem = Enrollment::problem();
    if (!problem) return std::nullopt;
    QString text = problem->what();
    if (problem->kind() == Enrollment::EnrollErrorKind::damaged)
        text += ". Set it aside (it is renamed, nothing is deleted) and enroll again: " +
                setAsideCommand;
    return fail(text);
}

// A face's name never looks like an option: "--help" was once enrolled.
std::optional<int> optionForName(const QString& command, const QString& name) {
    if (!name.startsWith('-')) return std::nullopt;
    return misuse(command + ": unknown option '" + name + "' (a face's name can't start with '-')");
}

// A prerequisite as status prints it: its name, its state, and the command
// (or the sentence) that would meet it.
struct Row {
    QString name, state, todo;
};

QString nameOf(AppModel::Prerequisite::Kind kind) {
    using K = AppModel::Prerequisite::Kind;
    switch (kind) {
    case K::camera:
        return "camera";
    case K::tpm:
        return "TPM";
    case K::faces:
        return "faces";
    case K::password:
        return "password";
    case K::settings:
        return "settings";
    case K::model:
        return "model";
    case K::lockScreen:
        return "lock screen";
    case K::module:
        return "module";
    case K::unlocks:
        return "unlocks";
    case K::agent:
        return "agent";
    }
    return {};
}

QString todoOf(const AppModel::Prerequisite& row) {
    using R = AppModel::Prerequisite::Remedy;
    switch (row.remedy) {
    case R::none:
        return "";
    case R::explained:
        return row.detail;
    case R::enroll:
        return "tarvoctl enroll";
    case R::setAsideFaces:
        return setAsideCommand + ", then tarvoctl enroll";
    case R::savePassword:
        return "tarvoctl password";
    case R::unlockWithPassword:
        return "unlock once with your password";
    case R::saveSettings:
        return "tarvoctl config sets them again; the damaged file is kept aside";
    case R::reinstall:
        return "install Tarvo again, or point TARVO_MODEL at a model with its "
               "FaceEmbedding.json";
    case R::turnOn:
        return "tarvoctl on";
    case R::updateModule:
        return "tarvoctl update-module";
    case R::startAgent:
        return AgentHome::userService() ? "tarvoctl agent --enable"
                                        : "tarvoctl agent --enable, or start the Tarvo app";
    }
    return {};
}

std::vector<Row> prerequisites(const AppModel& model) {
    std::vector<Row> rows;
    for (const auto& row : model.prerequisites())
        rows.push_back({nameOf(row.kind), row.state, todoOf(row)});
    return rows;
}

int privileged(void (AppModel::*action)(), const QString& success) {
    AppModel::Machine machine;
    machine.hostsAgent = false;
    AppModel model(machine);
    bool quit = false;
    QObject::connect(&model, &AppModel::quitRequested, [&] { quit = true; });
    (model.*action)();
    if (model.busy()) await(&model, &AppModel::actionFinished);
    if (!model.actionError().isEmpty()) {
        fail(model.actionError());
        if (model.lastOutcome() == SystemInstaller::Outcome::Kind::notGranted) {
            // Root acts for the user named: it has no user of its own.
            QString command = QCoreApplication::arguments().value(1);
            auto name = platform::userName(getuid());
            if (name && command != "update-module")
                command += " --user " + QString::fromStdString(*name);
            std::fprintf(stderr, "tarvoctl: or have an administrator run: sudo tarvoctl %s\n",
                         qPrintable(command));
        }
        return failed;
    }
    if (action == &AppModel::uninstallEverything && !quit) return fail("uninstall cancelled");
    out(success);
    return done;
}

QString setting(const Config& config, const QString& key) {
    if (key == "sensitivity")
        return QString("%1 (threshold %2)")
            .arg(config.sensitivity, 0, 'f', 2)
            .arg(double(config.threshold), 0, 'f', 3);
    if (key == "liveness") return QString::fromUtf8(Config::name(config.liveness).data());
    return config.warmWithDisplay ? "on" : "off";
}

// The app's rules: sensitivity in the slider's steps of 0.04 within 0...1.
// Stores `value` for `key` (one of config's keys) and returns what was
// stored, or what is wrong with the value.
std::variant<Config, QString> store(const QString& key, const QString& value) {
    if (key == "sensitivity") {
        bool number = false;
        double s = value.toDouble(&number);
        if (!number || !(s >= 0 && s <= 1)) return "sensitivity is a number from 0 to 1";
        return app::settings::setSensitivity(s);
    }
    if (key == "liveness") {
        if (value != "attention" && value != "blink") return "liveness is attention or blink";
        return app::settings::setLiveness(value == "blink" ? Config::Liveness::blink
                                                           : Config::Liveness::attention);
    }
    if (value != "on" && value != "off") return "warm-up is on or off";
    return app::settings::setWarmWithDisplay(value == "on");
}

} // namespace

int fail(const QString& text) {
    std::fprintf(stderr, "tarvoctl: %s\n", qPrintable(text));
    return failed;
}

int misuse(const QString& text) {
    std::fprintf(stderr, "tarvoctl: %s\nTry 'tarvoctl --help'.\n", qPrintable(text));
    return misused;
}

int status(const QStringList& args) {
    if (!args.isEmpty() && !wantsJson(args)) return misuse("status takes only --json");
    auto model = looking();
    auto rows = prerequisites(*model);
    if (wantsJson(args)) {
        QJsonObject json{{"summary", model->statusSummary()}, {"ready", model->isReady()}};
        for (const auto& row : rows)
            json[row.name] = QJsonObject{{"state", row.state}, {"todo", row.todo}};
        printJson(json);
        return done;
    }
    out(model->statusSummary());
    for (const auto& row : rows)
        out(QString("  %1 %2%3")
                .arg(row.name + ":", -13)
                .arg(row.state)
                .arg(row.todo.isEmpty() ? "" : "  (" + row.todo + ")"));
    return done;
}

int enroll(const QStringList& args) {
    if (args.size() > 1) return misuse("enroll takes one name at most");
    if (auto refused = optionForName("enroll", args.value(0))) return *refused;
    if (auto unreadable = facesUnreadable()) return *unreadable;
    auto camera = CameraCheck::current();
    if (camera.kind != CameraCheck::Kind::ready)
        return fail(QString::fromStdString(camera.problem));
    app::EnrollModel model;
    QObject::connect(&model, &app::EnrollModel::promptChanged, [&] {
        if (!model.prompt().isEmpty())
            out(QString("\nStep %1 of %2: %3")
                    .arg(model.stepIndex() + 1)
                    .arg(EnrollmentPlan::steps.size())
                    .arg(model.prompt()));
    });
    QString shown;
    QObject::connect(&model, &app::EnrollModel::guidanceChanged, [&] {
        if (model.guidance().isEmpty() || model.guidance() == shown) return;
        shown = model.guidance();
        out("  " + shown);
    });
    QObject::connect(&model, &app::EnrollModel::progressChanged, [&] {
        int all = int(EnrollmentPlan::samples);
        int taken = int(std::lround(model.progress() * all));
        out(QString("  [%1%2] %3/%4")
                .arg(QString(taken * 2, '#'), QString((all - taken) * 2, '-'))
                .arg(taken)
                .arg(all));
    });
    bool cancelled = false;
    Interrupts interrupts([&] {
        cancelled = true;
        model.cancel();
    });
    // A finished step rings the terminal's bell.
    model.setChime([] {
        if (isTerminal(STDOUT_FILENO)) std::fputs("\a", stdout);
    });
    model.feed()->start();
    model.begin(args.value(0));
    QEventLoop loop;
    QObject::connect(&model, &app::EnrollModel::phaseChanged, &loop, [&] {
        if (model.phase() != app::EnrollModel::Phase::Capturing) loop.quit();
    });
    if (model.phase() == app::EnrollModel::Phase::Capturing) loop.exec();
    if (cancelled) return fail("enrollment cancelled; nothing was stored");
    if (model.phase() == app::EnrollModel::Phase::Failed) return fail(model.failure());
    // Poses that timed out are offered again once, where someone can answer;
    // cancelling then keeps the face as enrolled.
    auto missed = model.missedPoses();
    auto result = model.result();
    if (!missed.isEmpty() && isTerminal(STDIN_FILENO)) {
        out("\nNo pictures were taken in time for: " + missed.join(", ") +
            ". Capture these poses again? [Y/n] ");
        std::string answer;
        std::getline(std::cin, answer);
        if (answer.empty() || answer[0] == 'y' || answer[0] == 'Y') {
            model.recaptureMissed();
            if (model.phase() == app::EnrollModel::Phase::Capturing) loop.exec();
            if (model.phase() == app::EnrollModel::Phase::Failed) return fail(model.failure());
            if (model.phase() == app::EnrollModel::Phase::Done) {
                missed = model.missedPoses();
                result = model.result();
            }
        }
    }
    int poses = int(EnrollmentPlan::steps.size());
    auto taken = missed.isEmpty() ? QString("all %1").arg(poses)
                                  : QString("%1 of %2").arg(poses - int(missed.size())).arg(poses);
    out(QString("\nEnrolled: %1 pictures of your face from %2 head poses. Check that Tarvo "
                "knows you: tarvoctl test")
            .arg(result.value("samples").toInt())
            .arg(taken));
    if (!missed.isEmpty())
        out("Missed: " + missed.join(", ") +
            ". Enrolling again under the same name captures "
            "every pose afresh.");
    return done;
}

int faces(const QStringList& args) {
    if (args == QStringList{"--set-aside-damaged"}) {
        auto model = looking();
        if (!model->facesDamaged())
            return fail("the faces file isn't damaged; nothing was set aside");
        auto aside = model->setAsideDamagedFaces();
        if (aside.isEmpty()) return fail(model->actionError());
        out("The damaged faces file is kept as " + aside + ". Enroll again: tarvoctl enroll");
        return done;
    }
    if (args == QStringList{"--forget-learned"}) {
        auto model = looking();
        int forgotten = model->forgetLearned();
        if (!model->actionError().isEmpty()) return fail(model->actionError());
        out(QString("Forgot %1 learned samples; what you enrolled is kept.").arg(forgotten));
        return done;
    }
    if (!args.isEmpty() && !wantsJson(args))
        return misuse("faces takes only --json, --set-aside-damaged or --forget-learned");
    if (auto unreadable = facesUnreadable()) return *unreadable;
    QJsonArray list;
    for (const auto& face : Enrollment::faces()) {
        auto added = QString::fromStdString(Text::localDay(face.addedAt));
        auto lastLearned =
            face.learned.empty()
                ? QString()
                : QString::fromStdString(Text::localDay(face.learned.back().learnedAt));
        if (wantsJson(args)) {
            list.push_back(QJsonObject{{"name", QString::fromStdString(face.name)},
                                       {"samples", qint64(face.samples.size())},
                                       {"added", added},
                                       {"learned", qint64(face.learned.size())},
                                       {"lastLearned", lastLearned}});
            continue;
        }
        auto line = QString("%1  %2 samples  added %3")
                        .arg(QString::fromStdString(face.name))
                        .arg(face.samples.size())
                        .arg(added);
        if (!face.learned.empty())
            line += QString("  %1 learned, last on %2").arg(face.learned.size()).arg(lastLearned);
        out(line);
    }
    if (wantsJson(args)) printJson(list);
    return done;
}

int remove(const QStringList& args) {
    if (args.size() != 1) return misuse("remove takes the name of one face");
    if (auto refused = optionForName("remove", args[0])) return *refused;
    if (auto unreadable = facesUnreadable()) return *unreadable;
    for (const auto& face : Enrollment::faces()) {
        if (QString::fromStdString(face.name).compare(args[0], Qt::CaseInsensitive) != 0) continue;
        try {
            Enrollment::remove(face.id);
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        return done;
    }
    return fail("no enrolled face is named '" + args[0] + "'");
}

int test(const QStringList& args) {
    if (!args.isEmpty()) return misuse("test takes no arguments");
    if (auto unreadable = facesUnreadable()) return *unreadable;
    if (Enrollment::faces().empty()) return fail("no face is enrolled: tarvoctl enroll");
    app::TestModel model;
    // Each piece of guidance once, as it changes; the verdict last.
    QString shown;
    QObject::connect(&model, &app::TestModel::detailChanged, [&] {
        if (model.detail() == shown) return;
        shown = model.detail();
        out(shown);
    });
    QEventLoop loop;
    QObject::connect(&model, &app::TestModel::phaseChanged, &loop, [&] {
        if (model.phase() != app::TestModel::Phase::Looking) loop.quit();
    });
    Interrupts interrupts([&] {
        model.stop();
        loop.quit();
    });
    model.feed()->start();
    model.run();
    if (model.phase() == app::TestModel::Phase::Looking) loop.exec();
    if (!model.feed()->error().isEmpty()) fail(model.feed()->error());
    if (model.phase() == app::TestModel::Phase::Matched) return done;
    if (model.phase() == app::TestModel::Phase::TimedOut) out("Not recognized.");
    return failed;
}

int password(const QStringList& args) {
    if (!args.isEmpty()) return misuse("password takes no arguments");
    // No password is asked for that can't be sealed.
    if (auto problem = StoredPassword::tpmProblem()) return fail(problem->what());
    auto line = readSecretLine("Login password: ");
    if (!line) return fail("no password given");
    AppModel::Machine machine;
    machine.hostsAgent = false;
    AppModel model(machine);
    QString message;
    QObject::connect(&model, &AppModel::passwordSaveFinished,
                     [&](const QString& text) { message = text; });
    model.savePassword(QString::fromStdString(*line));
    wipe(*line);
    await(&model, &AppModel::passwordSaveFinished);
    if (!message.isEmpty()) return fail(message);
    out("Password saved, sealed by the TPM.");
    return done;
}

namespace {

// As root, for the user named with --user: the lock screens only. The
// user's own part (the agent, the saved password) is the user's to do.
std::optional<int> forUser(const QStringList& args, const char* command, bool on) {
    if (::geteuid() != 0) {
        if (!args.isEmpty()) return misuse(QString(command) + " takes no arguments");
        return std::nullopt;
    }
    if (args.size() != 2 || args[0] != "--user")
        return misuse(QString("as root, name the user: tarvoctl ") + command + " --user NAME");
    auto user = args[1].toStdString();
    auto outcome = on ? SystemInstaller::install({}, user) : SystemInstaller::uninstall({}, user);
    if (outcome.kind != SystemInstaller::Outcome::Kind::done)
        return fail(QString::fromStdString(outcome.message));
    out(on ? QString("Face unlock is on for the lock screens. %1 runs tarvoctl on to start the "
                     "agent (no administrator needed now); %1's groups for the TPM and the "
                     "camera (tss, video) count from %1's next login.")
                 .arg(args[1])
           : QString("Face unlock is off for the lock screens."));
    return done;
}

} // namespace

int turnOn(const QStringList& args) {
    if (auto asRoot = forUser(args, "on", true)) return *asRoot;
    int status = privileged(&AppModel::turnOnLockScreen, "Face unlock is on for the lock screens.");
    if (status == done) out(QString::fromStdString(AgentHome::where()));
    return status;
}

int turnOff(const QStringList& args) {
    if (auto asRoot = forUser(args, "off", false)) return *asRoot;
    return privileged(&AppModel::turnOffLockScreen,
                      "Face unlock is off; the saved password is forgotten.");
}

int updateModule(const QStringList& args) {
    if (!args.isEmpty()) return misuse("update-module takes no arguments");
    return privileged(&AppModel::updateModule, "The lock screens have this installation's module.");
}

int uninstall(const QStringList& args) {
    if (!args.isEmpty()) return misuse("uninstall takes no arguments");
    return privileged(&AppModel::uninstallEverything, "Tarvo is removed.");
}

int config(const QStringList& args) {
    static const QStringList keys = {"sensitivity", "liveness", "warm-up"};
    if (args.size() > 2) return misuse("config takes a key and a value at most");
    if (!args.isEmpty() && !keys.contains(args[0]))
        return misuse("unknown setting '" + args[0] + "' (" + keys.join(", ") + ")");
    Config::Source source;
    auto config = Config::load(&source);
    // Said, not failed: the values shown are the ones that stand in.
    if (auto problem = Config::problem(source))
        std::fprintf(stderr, "tarvoctl: %s\n", std::string(*problem).c_str());
    if (auto scale = ModelScale::problem()) std::fprintf(stderr, "tarvoctl: %s\n", scale->c_str());
    if (args.isEmpty()) {
        for (const auto& key : keys)
            out(key + " " + setting(config, key));
        return done;
    }
    if (args.size() == 1) {
        out(setting(config, args[0]));
        return done;
    }
    std::variant<Config, QString> stored;
    try {
        stored = store(args[0], args[1]);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (auto* problem = std::get_if<QString>(&stored)) return misuse(*problem);
    // What was stored: the sensitivity snaps to the scale's steps.
    out(args[0] + " " + setting(std::get<Config>(stored), args[0]));
    return done;
}

namespace {

void listCameras() {
    auto list = CameraCheck::choices();
    if (list.empty()) out("No camera found. Plug one in.");
    int n = 0;
    for (const auto& choice : list) {
        QString what = choice.allowed ? QString::fromStdString(choice.card) + " (" +
                                            QString::fromStdString(choice.formats) + ")"
                                      : "this account may not open it";
        out(QString("%1 %2  %3%4%5")
                .arg(choice.chosen ? "*" : " ")
                .arg(++n)
                .arg(QString::fromStdString(choice.name))
                .arg("  " + what)
                .arg(choice.infrared ? ", infrared" : ""));
    }
}

} // namespace

int camera(const QStringList& args) {
    if (args.size() > 1) return misuse("camera takes one camera at most");
    if (args.value(0).startsWith('-')) return misuse("camera: unknown option '" + args[0] + "'");
    if (args.isEmpty()) {
        listCameras();
        return done;
    }
    std::string chosen;
    if (args[0] == "default") {
        // Empty: the first camera that delivers colour frames.
    } else if (auto replay = std::filesystem::absolute(args[0].toStdString()).lexically_normal();
               platform::isReplay(replay.string())) {
        // A video, an image or a folder of them, to try it without a camera.
        chosen = replay.string();
    } else {
        // By its number in the list, its name, or its node.
        auto list = CameraCheck::choices();
        bool isNumber = false;
        int n = args[0].toInt(&isNumber);
        std::string name = args[0].toStdString();
        if (isNumber && n >= 1 && n <= int(list.size())) name = list[size_t(n - 1)].name;
        auto found = std::find_if(list.begin(), list.end(), [&](const auto& choice) {
            std::error_code ec;
            return choice.name == name || std::filesystem::equivalent(choice.name, name, ec);
        });
        if (found == list.end())
            return fail("no camera '" + args[0] + "' (tarvoctl camera lists them)");
        chosen = found->name;
    }
    try {
        app::settings::setCamera(chosen);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    listCameras();
    return done;
}

int diagnostics(const QStringList& args) {
    if (!args.isEmpty()) return misuse("diagnostics takes no arguments");
    std::printf("%s\n", Diagnostics::report(true).c_str());
    return done;
}

// Where the agent lives from now on, or no longer.
int agentService(bool enable) {
    auto outcome = enable ? AgentHome::enable() : AgentHome::disable();
    if (!outcome.done) return fail(QString::fromStdString(outcome.text));
    out(QString::fromStdString(outcome.text));
    return done;
}

int agent(const QStringList& args) {
    if (args == QStringList{"--enable"}) return agentService(true);
    if (args == QStringList{"--disable"}) return agentService(false);
    if (!args.isEmpty() && args != QStringList{"--verbose"})
        return misuse("agent takes --verbose, --enable or --disable");
    Log::echoToStderr = !args.isEmpty();
    auto agent = Agent::create(false);
    try {
        agent->start();
    } catch (const Agent::AgentError& e) {
        fail(e.what());
        return alreadyRunning;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    Interrupts interrupts([] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    agent->stop();
    return done;
}

} // namespace tarvo::cli
