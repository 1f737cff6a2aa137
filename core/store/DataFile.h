#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>

// The files of the per-user folder: read whole, written whole, and only
// where the folder and the file are the user's own.
namespace tarvo::DataFile {

// notWritten: a write that did not take place; the file that was there
// before is intact. notOwn: the folder or a file in it is not the user's
// own (another owner, a symbolic link, a mode that lets others in and
// can't be narrowed), so nothing in it is trusted or written.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    static FileError notWritten(const std::string& text) { return FileError(text); }
    static FileError notOwn(const std::filesystem::path& path, const std::string& why) {
        return FileError("Tarvo won't use " + path.string() + ": " + why);
    }
};

// Replaces `target` with `bytes` as one step: a reader sees the old file or
// the new one, never a mix. The temporary file is created with `mode` from
// its first byte, so the content is never readable more widely.
void write(const std::filesystem::path& target, std::string_view bytes, mode_t mode = 0600);

// The whole content of a regular file of at most `limit` bytes (by default
// 4 MiB, more than any store of ours holds); nothing when it is missing,
// unreadable, not a regular file (a FIFO would block the reader) or larger.
std::optional<std::string> read(const std::filesystem::path& path, size_t limit = 4 << 20);

// The user's own folder `folder`: a real folder owned by this user, a wider
// mode narrowed to 0700. Whether it exists; with `create`, a missing one is
// made (with its parents). Throws FileError::notOwn.
bool ownFolder(const std::filesystem::path& folder, bool create);
// read() of a file in the user's own folder that is the user's own too (a
// wider mode is narrowed to 0600); nothing when it or its folder is
// missing. Throws FileError::notOwn.
std::optional<std::string> readOwn(const std::filesystem::path& path, size_t limit = 4 << 20);
// write() with mode 0600 into the user's own folder, made if missing.
// Throws FileError.
void writeOwn(const std::filesystem::path& target, std::string_view bytes);

} // namespace tarvo::DataFile
