#include "platform/face/ResidentMemory.h"

#include <cstdint>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <sys/mman.h>

namespace tarvo::platform {

void returnLibraryPages() {
#ifdef MADV_PAGEOUT
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        // "start-end perms offset dev inode path"
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        if (!(fields >> range >> perms >> offset >> device >> inode >> path)) continue;
        if (path.empty() || path[0] != '/') continue;
        auto dash = range.find('-');
        if (dash == std::string::npos) continue;
        auto start = std::stoull(range.substr(0, dash), nullptr, 16);
        auto end = std::stoull(range.substr(dash + 1), nullptr, 16);
        // Only what the file holds as it is: written pages (relocations)
        // would go to swap, or nowhere.
        if (perms[1] == 'w' || end <= start) continue;
        (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
    }
#endif
}

void returnFreedMemory() {
    // Setting either limit also stops glibc from moving them.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 256 * 1024);
}

} // namespace tarvo::platform
