#pragma once

#include <QObject>
#include <QString>
#include <vector>

namespace tarvo::app {

// One thing face unlock needs: met or not, its state in a few words, and
// what would meet it.
struct Prerequisite {
    enum class Kind {
        camera,
        tpm,
        faces,
        password,
        settings,
        model,
        lockScreen,
        module,
        unlocks,
        agent
    };
    enum class Remedy {
        none,
        explained, // `detail` says what to do
        enroll,
        setAsideFaces, // then enroll
        savePassword,
        unlockWithPassword, // once, at the lock screen
        saveSettings,
        reinstall,
        turnOn,
        updateModule,
        startAgent,
    };
    Kind kind;
    bool required;
    bool met;
    QString state;
    Remedy remedy = Remedy::none;
    QString detail = {};

    // Nothing to do about it: met, and no remedy asked for.
    bool fine() const { return met && remedy == Remedy::none; }
    bool operator==(const Prerequisite&) const = default;
};

// A prerequisite as one of the window's status rows binds to it. A kind
// the list leaves out (a settings file that is fine, say) is fine.
class PrerequisiteState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool listed READ listed NOTIFY changed)
    Q_PROPERTY(bool met READ met NOTIFY changed)
    Q_PROPERTY(bool fine READ fine NOTIFY changed)
    Q_PROPERTY(QString state READ state NOTIFY changed)
    Q_PROPERTY(QString detail READ detail NOTIFY changed)

  public:
    using QObject::QObject;
    bool listed() const { return listed_; }
    bool met() const { return !listed_ || row_.met; }
    bool fine() const { return !listed_ || row_.fine(); }
    QString state() const { return listed_ ? row_.state : QString(); }
    QString detail() const { return listed_ ? row_.detail : QString(); }

    // Announced only when it changed.
    void set(const Prerequisite* row);

  signals:
    void changed();

  private:
    bool listed_ = false;
    Prerequisite row_{};
};

// Every kind's row, kept current by the app model from the same list
// `tarvoctl status` prints: the window's rows and the command line judge
// each prerequisite by one rule.
class PrerequisiteStates : public QObject {
    Q_OBJECT
    Q_PROPERTY(tarvo::app::PrerequisiteState* camera READ camera CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* tpm READ tpm CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* faces READ faces CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* password READ password CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* settings READ settings CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* model READ model CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* lockScreen READ lockScreen CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* module READ module CONSTANT)
    Q_PROPERTY(tarvo::app::PrerequisiteState* agent READ agent CONSTANT)

  public:
    using QObject::QObject;
    PrerequisiteState* row(Prerequisite::Kind kind) { return &rows_[static_cast<size_t>(kind)]; }
    PrerequisiteState* camera() { return row(Prerequisite::Kind::camera); }
    PrerequisiteState* tpm() { return row(Prerequisite::Kind::tpm); }
    PrerequisiteState* faces() { return row(Prerequisite::Kind::faces); }
    PrerequisiteState* password() { return row(Prerequisite::Kind::password); }
    PrerequisiteState* settings() { return row(Prerequisite::Kind::settings); }
    PrerequisiteState* model() { return row(Prerequisite::Kind::model); }
    PrerequisiteState* lockScreen() { return row(Prerequisite::Kind::lockScreen); }
    PrerequisiteState* module() { return row(Prerequisite::Kind::module); }
    PrerequisiteState* agent() { return row(Prerequisite::Kind::agent); }

    void set(const std::vector<Prerequisite>& list);

  private:
    PrerequisiteState rows_[static_cast<size_t>(Prerequisite::Kind::agent) + 1];
};

} // namespace tarvo::app
