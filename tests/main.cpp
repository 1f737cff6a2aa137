#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <gtest/gtest.h>
#include <unistd.h>

// Every test binary runs in the sandbox: test users with temporary homes,
// and, as root, a system log of its own.
int main(int argc, char** argv) {
    tarvo::sandbox::enter(argc, argv);
    if (geteuid() == 0) tarvo::sandbox::SyslogCapture::install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
