#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The camera runs in a program of its own, tarvo-capture, started for each
// source a process opens and ended when it closes: OpenCV's videoio and
// imgcodecs bring some 240 libraries (FFmpeg, GStreamer, GDAL, poppler)
// whose written pages and buffers no allocator can hand back, and several
// can never be unloaded. In a program of their own they leave nothing
// behind in an agent that runs all day.
//
// The program and its parent talk over a stream socket, the program's
// descriptor 3. The program first says whether its source opened; after
// that each byte the parent sends asks for the next frame, answered with
// one message: a frame (8-bit BGR, row by row) or a failure to deliver one.
namespace tarvo::platform::capture {

inline constexpr int channel = 3;

enum class Message : std::uint32_t { opened = 1, failed = 2, frame = 3 };

struct Header {
    std::uint32_t message = 0;
    std::uint32_t rows = 0; // a frame's size
    std::uint32_t cols = 0;
    std::uint32_t bytes = 0; // what follows: the frame, or the failure's text
};

inline constexpr std::uint32_t largestSide = 8192;
inline constexpr std::uint32_t longestText = 4096;

// Whether a header read from the channel is one the program may send.
bool plausible(const Header& header);

// Sends all of `size` bytes; false when the peer has gone.
bool sendAll(int fd, const void* data, std::size_t size);
// Receives exactly `size` bytes within `timeoutMs` (-1: no limit); false on
// the peer's end, an error or the time running out.
bool receiveAll(int fd, void* data, std::size_t size, int timeoutMs);

// Receives one message the program may send: its header, then its bytes
// into the buffer `into` gives for that header (a frame's image, a
// failure's text), each part within `timeoutMs`. False for a header the
// program may not send, a buffer not given, or a message cut short.
bool receiveMessage(int fd, Header& header, const std::function<void*(const Header&)>& into,
                    int timeoutMs);

} // namespace tarvo::platform::capture
