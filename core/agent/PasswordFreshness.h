#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace tarvo {

// Remembers when the password was last typed and whether the machine has
// hibernated since, so that a face alone can't keep it unlockable for ever.
// The time is kept in the user's data folder with the boot it belongs to,
// so that an agent restarted by its unit goes on counting; in a new boot
// the login has just asked for the password, and the period starts then.
class PasswordFreshness {
  public:
    using Clock = std::function<std::chrono::nanoseconds()>;
    using HibernationCount = std::function<std::int32_t()>;

    static constexpr std::chrono::seconds maximumAge{172800};

    // The clock and counter default to the system's; tests pass their own.
    explicit PasswordFreshness(Clock clock = {}, HibernationCount hibernationCount = {});

    // The password was typed: the period starts again.
    void credentialPresented();
    // Keeps the start of the period in the user's data where nothing was
    // kept yet: an agent starting in a new boot counts from now. Until
    // then nothing is written (a status check writes nothing).
    void keep();
    // Nothing when a face may be used; otherwise why the password is needed.
    std::optional<std::string> reasonPasswordRequired() const;

  private:
    Clock clock_;
    HibernationCount count_;
    mutable std::mutex lock_;
    std::int32_t hibernations_;
    std::chrono::nanoseconds presentedAt_;
    bool kept_ = false;
};

// Whether the system's biometric unlock is locked out and wants the password.
namespace TouchIDState {
bool requiresPassword();
}

} // namespace tarvo
