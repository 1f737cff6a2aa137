#pragma once

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <sys/types.h>

namespace tarvo::AtomicFile {

// A write that did not take place; the file that was there before is intact.
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Replaces `target` with `bytes` as one step: a reader sees the old file or
// the new one, never a mix. The temporary file is created with `mode` from
// its first byte, so the content is never readable more widely.
void write(const std::filesystem::path& target, std::string_view bytes, mode_t mode = 0600);

} // namespace tarvo::AtomicFile
