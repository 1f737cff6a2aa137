#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

// Every test binary runs in the sandbox: test users with temporary homes,
// and, as root, a system log of its own; the model is the fetched one, with
// its measured scale beside it.
int main(int argc, char** argv) {
    tarvo::sandbox::enter(argc, argv);
    ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 0);
    if (geteuid() == 0) tarvo::sandbox::SyslogCapture::install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
