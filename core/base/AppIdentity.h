#pragma once

namespace tarvo::AppIdentity {

// The application's reverse-DNS identifier. Threads and queues are named
// with it and a suffix; Linux keeps 15 bytes of a thread's name, which
// "io.tarvo.control" would already exceed, so it stays this short.
inline constexpr const char* reverseDns = "io.tarvo";

} // namespace tarvo::AppIdentity
