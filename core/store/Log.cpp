#include "core/store/Log.h"

#include "core/base/UniqueFd.h"
#include "core/store/DataFile.h"
#include "core/store/Paths.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tarvo::Log {

std::atomic<bool> echoToStderr{false};

namespace {

std::mutex& lineLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

std::string format(std::chrono::system_clock::time_point when, std::string_view message) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string text(stamp, length);
    text += ' ';
    text += message;
    text += '\n';
    return text;
}

void line(std::string_view message) {
    std::string text = format(std::chrono::system_clock::now(), message);
    const std::string path = Paths::log().string();
    std::lock_guard guard(lineLock());
    if (echoToStderr) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    // Only into the user's own folder, which the log never makes (after an
    // uninstall nothing may bring it back); append, creating the file only
    // if it is missing: an existing log that can't be opened is left alone
    // rather than replaced.
    try {
        if (!DataFile::ownFolder(Paths::dir(), false)) return;
    } catch (const DataFile::FileError&) {
        return;
    }
    auto open = [&] {
        return UniqueFd(
            ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    };
    UniqueFd fd = open();
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0 && st.st_size + std::int64_t(text.size()) > maxBytes &&
        ::rename(path.c_str(), (path + ".1").c_str()) == 0)
        fd = open();
    if (fd) writeAll(fd.get(), text);
}

bool Throttle::line(const std::string& message) {
    auto now = Clock::now();
    {
        std::lock_guard guard(lock_);
        auto [it, added] = seen_.try_emplace(message, Seen{now, 0});
        if (!added && now - it->second.loggedAt < window) return ++it->second.counted == 1;
        it->second = Seen{now, 0};
    }
    Log::line(message);
    return false;
}

void Throttle::flush() {
    std::vector<std::string> reports;
    {
        std::lock_guard guard(lock_);
        for (auto& [message, seen] : seen_)
            if (seen.counted > 0)
                reports.push_back(message + " (" + std::to_string(seen.counted) +
                                  " more in the last second)");
        // What was reported starts afresh; the map holds only recent messages.
        seen_.clear();
    }
    for (const auto& report : reports)
        Log::line(report);
}

} // namespace tarvo::Log
