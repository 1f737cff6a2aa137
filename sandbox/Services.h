#pragma once

#include <filesystem>
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

// A private session bus (dbus-daemon), made this process's session bus by
// setting DBUS_SESSION_BUS_ADDRESS.
class SessionBus {
  public:
    SessionBus();
    std::string address() const { return address_; }

  private:
    std::filesystem::path dir_;
    std::string address_;
    std::optional<Process> daemon_;
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

} // namespace tarvo::sandbox
