#include "core/store/DataFile.h"

#include "core/base/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::DataFile {
namespace {

[[noreturn]] void fail(const std::filesystem::path& target, const char* step, int error) {
    throw FileError::notWritten("could not write " + target.filename().string() + ": " + step +
                                ": " + std::strerror(error));
}

// Why `st` (of `path`) is not this user's own, narrowing a mode that lets
// others in to `mode` through `fd` where it is; nothing when it is ours.
std::optional<std::string> notOwn(const struct stat& st, int fd, mode_t mode) {
    if (st.st_uid != geteuid())
        return "it belongs to uid " + std::to_string(st.st_uid) + ", not to you";
    if ((st.st_mode & 077) != 0 && fchmod(fd, mode) != 0)
        return std::string("others may use it and it can't be narrowed: ") + std::strerror(errno);
    return std::nullopt;
}

} // namespace

void write(const std::filesystem::path& target, std::string_view bytes, mode_t mode) {
    std::string temp = target.string() + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) fail(target, "create", errno);
    // mkostemp creates 0600; narrower or wider targets get their mode now,
    // before any byte is written. A failure here leaves 0600, which is fine.
    (void)fchmod(fd.get(), mode);
    if (!writeAll(fd.get(), bytes) || fsync(fd.get()) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        fail(target, "write", error);
    }
    fd.reset();
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        fail(target, "rename", error);
    }
}

namespace {

std::optional<std::string> readOpened(int fd, const struct stat& st, size_t limit) {
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > limit) return std::nullopt;
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > limit) return std::nullopt;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

} // namespace

std::optional<std::string> read(const std::filesystem::path& path, size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return std::nullopt;
    return readOpened(fd.get(), st, limit);
}

bool ownFolder(const std::filesystem::path& folder, bool create) {
    if (create) {
        std::error_code ignored;
        std::filesystem::create_directories(folder.parent_path(), ignored);
        (void)::mkdir(folder.c_str(), 0700);
    }
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && errno == ENOENT) return false;
    struct stat st {};
    if (!fd && (errno == ELOOP || errno == ENOTDIR) &&
        ::lstat(folder.c_str(), &st) == 0) // ENOTDIR also for a symlink to a non-folder
        throw FileError::notOwn(folder, S_ISLNK(st.st_mode) ? "it is a symbolic link"
                                                            : "it is not a folder");
    if (!fd || fstat(fd.get(), &st) != 0)
        throw FileError::notOwn(folder, std::string("it can't be opened: ") + std::strerror(errno));
    if (auto why = notOwn(st, fd.get(), 0700)) throw FileError::notOwn(folder, *why);
    return true;
}

std::optional<std::string> readOwn(const std::filesystem::path& path, size_t limit) {
    if (!ownFolder(path.parent_path(), false)) return std::nullopt;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd && errno == ELOOP) throw FileError::notOwn(path, "it is a symbolic link");
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) return std::nullopt;
    if (auto why = notOwn(st, fd.get(), 0600)) throw FileError::notOwn(path, *why);
    return readOpened(fd.get(), st, limit);
}

void writeOwn(const std::filesystem::path& target, std::string_view bytes) {
    ownFolder(target.parent_path(), true);
    write(target, bytes, 0600);
}

} // namespace tarvo::DataFile
