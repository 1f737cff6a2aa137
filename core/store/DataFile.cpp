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
    throw WriteError::notWritten("could not write " + target.filename().string() + ": " + step +
                                 ": " + std::strerror(error));
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

std::optional<std::string> read(const std::filesystem::path& path, size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) > limit)
        return std::nullopt;
    std::string content;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > limit) return std::nullopt;
        content.append(buffer, static_cast<size_t>(n));
    }
    return content;
}

} // namespace tarvo::DataFile
