#pragma once

#include "core/store/Damage.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace tarvo {

// Remembers when the password was last typed, so that a face alone can't
// keep the machine unlockable for ever.
// The time is kept in the user's data folder with the boot it belongs to,
// so that an agent restarted by its unit goes on counting; in a new boot
// the login has just asked for the password, and the period starts then.
// A damaged record counts as a period that has ended: the password is
// needed, and typing it starts a new record (the damaged one set aside).
class PasswordFreshness {
  public:
    using Clock = std::function<std::chrono::nanoseconds()>;

    static constexpr std::chrono::seconds maximumAge{172800};

    // The clock defaults to the time since boot; tests pass their own.
    explicit PasswordFreshness(Clock clock = {});

    // The password was typed: the period starts again.
    void credentialPresented();
    // Keeps the start of the period in the user's data where nothing was
    // kept yet: an agent starting in a new boot counts from now. Until
    // then nothing is written (a status check writes nothing).
    void keep();
    // Nothing when a face may be used; otherwise why the password is needed.
    std::optional<std::string> reasonPasswordRequired() const;
    // The record in the user's data, as the next agent would read it.
    static Damage::State fileState();

  private:
    Clock clock_;
    mutable std::mutex lock_;
    std::chrono::nanoseconds presentedAt_;
    bool kept_ = false;
    bool damaged_ = false;
};

} // namespace tarvo
