#pragma once

namespace tarvo::platform {

// Hands back the pages of mapped files (libraries' code and constants,
// models) this process read while scanning: the kernel drops those nobody
// else maps, and reads them again from disk when they are next used. The
// camera's and the models' libraries bring some 240 libraries with them,
// whose pages an idle agent would otherwise keep resident all day.
void returnLibraryPages();

} // namespace tarvo::platform
