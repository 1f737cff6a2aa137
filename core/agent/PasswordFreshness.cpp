#include "core/agent/PasswordFreshness.h"

#include "core/store/DataFile.h"
#include "core/store/Log.h"
#include "core/store/Paths.h"
#include "platform/agent/SystemState.h"

#include <charconv>
#include <utility>

namespace tarvo {
namespace {

// "<boot id> <nanoseconds since boot>\n": when the password was last typed.
struct Record {
    std::string boot;
    std::chrono::nanoseconds at;
};

// The record; nothing when there is none. An unreadable or malformed
// file is a damaged one.
std::optional<Record> readRecord(Damage::State& state) {
    state = Damage::State::missing;
    std::optional<std::string> text;
    try {
        text = DataFile::readOwn(Paths::passwordTyped(), 256);
    } catch (const DataFile::FileError&) {
        return std::nullopt;
    }
    if (!text) {
        if (Damage::present(Paths::passwordTyped())) state = Damage::State::damaged;
        return std::nullopt;
    }
    state = Damage::State::damaged;
    auto space = text->find(' ');
    if (space == 0 || space == std::string::npos) return std::nullopt;
    std::int64_t ns = 0;
    const char* first = text->data() + space + 1;
    const char* last = text->data() + text->size();
    auto [end, error] = std::from_chars(first, last, ns);
    if (error != std::errc() || end == first ||
        (end != last && std::string_view(end, last) != "\n") || ns < 0)
        return std::nullopt;
    state = Damage::State::readable;
    return Record{text->substr(0, space), std::chrono::nanoseconds(ns)};
}

// When the password was typed in this boot, if it was.
std::optional<std::chrono::nanoseconds> readPresented(std::chrono::nanoseconds now, bool& damaged) {
    Damage::State state;
    auto record = readRecord(state);
    damaged = state == Damage::State::damaged;
    auto boot = platform::SystemState::bootId();
    if (!record || boot.empty() || record->boot != boot || record->at > now) return std::nullopt;
    return record->at;
}

void writePresented(std::chrono::nanoseconds at) {
    auto boot = platform::SystemState::bootId();
    if (boot.empty()) return;
    try {
        if (PasswordFreshness::fileState() == Damage::State::damaged)
            Damage::setAside(Paths::passwordTyped());
        DataFile::writeOwn(Paths::passwordTyped(), boot + " " + std::to_string(at.count()) + "\n");
    } catch (const DataFile::FileError& error) {
        Log::line(std::string("could not keep when the password was typed: ") + error.what());
    }
}

} // namespace

PasswordFreshness::PasswordFreshness(Clock clock)
    : clock_(clock ? std::move(clock) : platform::SystemState::sinceBoot), presentedAt_(clock_()) {
    if (auto kept = readPresented(presentedAt_, damaged_)) {
        presentedAt_ = *kept;
        kept_ = true;
    }
    // A damaged record stays until the password replaces it.
    if (damaged_) kept_ = true;
}

Damage::State PasswordFreshness::fileState() {
    Damage::State state;
    readRecord(state);
    return state;
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
        damaged_ = false;
    }
    writePresented(now);
}
std::optional<std::string> PasswordFreshness::reasonPasswordRequired() const {
    std::lock_guard guard(lock_);
    if (damaged_) return std::string(Damage::passwordAge);
    if (clock_() - presentedAt_ > maximumAge) return "48 hours since the last password";
    return std::nullopt;
}

} // namespace tarvo
