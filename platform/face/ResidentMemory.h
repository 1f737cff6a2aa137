#pragma once

namespace tarvo::platform {

// Hands back the pages of mapped files (libraries' code and constants,
// models) this process read while scanning: the kernel drops those nobody
// else maps, and reads them again from disk when they are next used. The
// models' libraries (OpenCV's dnn, dlib and theirs) would otherwise keep
// their pages resident in an idle agent all day.
void returnLibraryPages();


} // namespace tarvo::platform
