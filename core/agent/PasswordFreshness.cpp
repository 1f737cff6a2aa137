#include "core/agent/PasswordFreshness.h"

#include "core/store/DataFile.h"
#include "core/store/Log.h"
#include "core/store/Paths.h"
#include "platform/agent/SystemState.h"

#include <charconv>
#include <utility>

namespace tarvo {
namespace {

// "<boot id> <nanoseconds since boot>": when the password was last typed.
std::optional<std::chrono::nanoseconds> readPresented(std::chrono::nanoseconds now) {
    std::optional<std::string> text;
    try {
        text = DataFile::readOwn(Paths::passwordTyped(), 256);
    } catch (const DataFile::FileError&) {
    }
    auto boot = platform::SystemState::bootId();
    if (!text || boot.empty() || text->rfind(boot + " ", 0) != 0) return std::nullopt;
    std::int64_t ns = 0;
    const char* first = text->data() + boot.size() + 1;
    const char* last = text->data() + text->size();
    auto [end, error] = std::from_chars(first, last, ns);
    if (error != std::errc() || (end != last && *end != '\n') || ns < 0 ||
        std::chrono::nanoseconds(ns) > now)
        return std::nullopt;
    return std::chrono::nanoseconds(ns);
}

void writePresented(std::chrono::nanoseconds at) {
    auto boot = platform::SystemState::bootId();
    if (boot.empty()) return;
    try {
        DataFile::writeOwn(Paths::passwordTyped(), boot + " " + std::to_string(at.count()) + "\n");
    } catch (const DataFile::FileError& error) {
        Log::line(std::string("could not keep when the password was typed: ") + error.what());
    }
}

} // namespace

PasswordFreshness::PasswordFreshness(Clock clock)
    : clock_(clock ? std::move(clock) : platform::SystemState::sinceBoot), presentedAt_(clock_()) {
    if (auto kept = readPresented(presentedAt_)) {
        presentedAt_ = *kept;
        kept_ = true;
    }
}

void PasswordFreshness::keep() {
    std::chrono::nanoseconds at;
    {
        std::lock_guard guard(lock_);
        if (std::exchange(kept_, true)) return;
        at = presentedAt_;
    }
    writePresented(at);
}

void PasswordFreshness::credentialPresented() {
    auto now = clock_();
    {
        std::lock_guard guard(lock_);
        presentedAt_ = now;
        kept_ = true;
    }
    writePresented(now);
}
std::optional<std::string> PasswordFreshness::reasonPasswordRequired() const {
    std::lock_guard guard(lock_);
    if (clock_() - presentedAt_ > maximumAge) return "48 hours since the last password";
    return std::nullopt;
}

} // namespace tarvo
