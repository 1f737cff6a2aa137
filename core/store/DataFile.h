#pragma once

#include "core/base/KindedError.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>

// The files of the per-user folder: read whole, written whole.
namespace tarvo::DataFile {

// A write that did not take place; the file that was there before is intact.
enum class WriteErrorKind { notWritten };
class WriteError : public KindedError<WriteErrorKind> {
  public:
    using KindedError::KindedError;
    static WriteError notWritten(const std::string& text) { return {Kind::notWritten, text}; }
};

// Replaces `target` with `bytes` as one step: a reader sees the old file or
// the new one, never a mix. The temporary file is created with `mode` from
// its first byte, so the content is never readable more widely.
void write(const std::filesystem::path& target, std::string_view bytes, mode_t mode = 0600);

// The whole content of a regular file of at most `limit` bytes (by default
// 4 MiB, more than any store of ours holds); nothing when it is missing,
// unreadable, not a regular file (a FIFO would block the reader) or larger.
std::optional<std::string> read(const std::filesystem::path& path, size_t limit = 4 << 20);

} // namespace tarvo::DataFile
