#pragma once

namespace tarvo::platform {

// Hands back the pages of mapped files (libraries' code and constants,
// models) this process read while scanning: the kernel drops those nobody
// else maps, and reads them again from disk when they are next used. The
// models' libraries (OpenCV's dnn, dlib and theirs) would otherwise keep
// their pages resident in an idle agent all day.
void returnLibraryPages();

// Makes memory freed go back to the kernel: blocks over a quarter megabyte
// are mapped and unmapped on their own, and heap tops are trimmed past a
// quarter megabyte. glibc otherwise raises both limits as big buffers come
// and go (up to 32 and 64 MB), so that after the models' release every
// thread's heap that held a part of them keeps megabytes of freed pages.
// For processes that live all day, before they load anything big.
void returnFreedMemory();

} // namespace tarvo::platform
