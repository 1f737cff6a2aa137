#include "core/store/Damage.h"

#include "core/store/DataFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace tarvo::Damage {

bool present(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::optional<std::filesystem::path> setAside(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    // Only what could once have been the file itself: a folder or a FIFO
    // in its place is someone's doing, not damage.
    if (!S_ISREG(st.st_mode))
        throw DataFile::FileError::notWritten("could not set " + path.filename().string() +
                                              " aside: it is not a file");
    std::time_t now = std::time(nullptr);
    char stamp[32] = "";
    std::tm utc{};
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", gmtime_r(&now, &utc));
    std::string base = path.string() + ".damaged-" + stamp;
    for (int n = 1; n < 100; ++n) {
        std::string aside = n == 1 ? base : base + "-" + std::to_string(n);
        // Never over another set-aside file, however close in time.
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno == ENOENT) return std::nullopt;
        if (errno != EEXIST) break;
    }
    throw DataFile::FileError::notWritten("could not set " + path.filename().string() +
                                          " aside: " + std::strerror(errno));
}

} // namespace tarvo::Damage
