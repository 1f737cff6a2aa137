#include "core/agent/PasswordFreshness.h"

#include "platform/agent/SystemState.h"

namespace tarvo {

PasswordFreshness::PasswordFreshness(Clock clock, HibernationCount hibernationCount)
    : clock_(clock ? std::move(clock) : platform::SystemState::sinceBoot),
      count_(hibernationCount ? std::move(hibernationCount)
                              : platform::SystemState::hibernationCount),
      hibernations_(count_()), presentedAt_(clock_()) {}

void PasswordFreshness::credentialPresented() {
    std::int32_t count = count_();
    auto now = clock_();
    std::lock_guard guard(lock_);
    hibernations_ = count;
    presentedAt_ = now;
}

std::optional<std::string> PasswordFreshness::reasonPasswordRequired() const {
    std::lock_guard guard(lock_);
    if (count_() != hibernations_) return "this computer has hibernated since the last password";
    if (clock_() - presentedAt_ > maximumAge) return "48 hours since the last password";
    return std::nullopt;
}

bool TouchIDState::requiresPassword() {
    return platform::SystemState::biometryLockedOut();
}

} // namespace tarvo
