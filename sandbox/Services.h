#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarvo::sandbox {

// A program of the machine's own running as a child for as long as this
// object lives: started with `argv`, optionally fed `input` on standard
// input; stopped with SIGTERM and reaped when destroyed.
class Process {
  public:
    Process(std::vector<std::string> argv, std::optional<std::string> input = std::nullopt);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    bool running();

  private:
    pid_t pid_ = -1;
};

// swtpm on a free loopback port, with its state in a fresh folder. tcti()
// is what TCTI must say for tpm2-tss to reach it; use() sets it.
class SoftwareTpm {
  public:
    SoftwareTpm();
    std::string tcti() const;
    void use() const;

  private:
    int port_ = 0;
    std::optional<Process> process_;
};

// A private dbus-daemon that any user may connect to, made this process's
// bus by setting `variable` to its address.
class PrivateBus {
  public:
    explicit PrivateBus(const char* variable);

  private:
    std::filesystem::path dir_;
    std::string address_;
    std::optional<Process> daemon_;
};

// The session bus (DBUS_SESSION_BUS_ADDRESS) and the system bus
// (DBUS_SYSTEM_BUS_ADDRESS), each private.
struct SessionBus : PrivateBus {
    SessionBus() : PrivateBus("DBUS_SESSION_BUS_ADDRESS") {}
};
struct SystemBus : PrivateBus {
    SystemBus() : PrivateBus("DBUS_SYSTEM_BUS_ADDRESS") {}
};

// A desktop's lock state as the buses show it: the screensaver's
// ActiveChanged on the session bus and logind's session `sessionId`
// (LockedHint and Active, readable and signalled) on the system bus. Sets
// XDG_SESSION_ID. The screensaver is org.freedesktop.ScreenSaver, or, as
// GNOME Shell 43 has it, the org.gnome.ScreenSaver interface sent by the
// owner of org.gnome.Shell.ScreenShield, or Xfce's org.xfce.ScreenSaver;
// logind names the session's desktop accordingly (KDE, GNOME, XFCE).
class LockServices {
  public:
    enum class Screensaver { freedesktop, gnomeShell, xfce };
    explicit LockServices(std::string sessionId = "c1",
                          Screensaver screensaver = Screensaver::freedesktop);
    ~LockServices();
    LockServices(const LockServices&) = delete;
    LockServices& operator=(const LockServices&) = delete;

    void setScreenSaverActive(bool active);
    void setLockedHint(bool locked);
    // The session on screen or not (a VT switch, LightDM's greeter).
    void setActive(bool active);
    // Another client, owning neither name, sends the screensaver's and
    // logind's signals to every connection on both buses.
    void forge(bool locked);
    // Another client takes every screensaver name nobody owns (any client
    // of the session bus may) and sends each interface's ActiveChanged.
    void forgeAsOwner(bool locked);

  private:
    struct Peer;
    std::unique_ptr<Peer> peer_;
};

// gnome-keyring-daemon's Secret Service on the current session bus, with a
// login keyring created with `password` in a fresh data folder; unlocked.
class KeyringDaemon {
  public:
    explicit KeyringDaemon(const std::string& password);
    // Locks the login collection, as after the screen locked.
    void lock();

  private:
    std::optional<Process> daemon_;
};

// The built helper and the module beside it, copied where a real install
// puts them: a folder of the private /opt, which only root can change (the
// helper refuses to install a module a checkout under /tmp would hand it).
// The copy's path.
std::filesystem::path installedHelper(const std::filesystem::path& helper);

// An installation at `app` of the built `helper` and `module`, its manifest
// listing both, made the one TARVO_BUNDLE names.
void installBundle(const std::filesystem::path& app, const std::filesystem::path& helper,
                   const std::filesystem::path& module);

// Stand-ins for sudo and pkexec that run the script they are given for
// real, behaving as told (see behave), and log their arguments in log().
// The sudo stand-in takes `password` only.
class AdminPrograms {
  public:
    explicit AdminPrograms(const std::string& password);
    std::string sudo() const;
    std::string pkexec() const;
    std::filesystem::path log() const;
    // sudo: "accept" (this password), "reject" (any), "nopasswd" (asks
    // nothing). pkexec: "ok", "dismiss" (the prompt was closed), "refuse"
    // (not authorised), "no-polkit" (polkitd isn't running), "silent"
    // (fails saying nothing), else no authentication agent; each in
    // pkexec's own words.
    // Also empties the log.
    void behave(const char* sudo, const char* pkexec) const;

  private:
    std::filesystem::path dir_;
};

// The machine the app's tests act on: /etc/pam.d and /opt of a mount
// namespace of the process's own, `password` as root's login password for
// the password check, swtpm as the TPM, a desktop's buses and lock
// services, stand-ins for sudo and pkexec, and the built `helper` and
// `module` installed as a bundle at `bundle`. Nothing of it exists
// (isolated() is false) where the process can't have a mount namespace.
class AppMachine {
  public:
    AppMachine(const std::string& password, const std::filesystem::path& bundle,
               const std::filesystem::path& helper, const std::filesystem::path& module);
    ~AppMachine();
    bool isolated() const { return isolated_; }
    AdminPrograms& admin() { return *admin_; }

  private:
    bool isolated_ = false;
    std::unique_ptr<SoftwareTpm> tpm_;
    std::unique_ptr<SessionBus> sessionBus_;
    std::unique_ptr<SystemBus> systemBus_;
    std::unique_ptr<LockServices> lockServices_;
    std::unique_ptr<AdminPrograms> admin_;
};

} // namespace tarvo::sandbox
