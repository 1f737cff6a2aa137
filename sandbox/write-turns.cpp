// write-turns TURNS [LOOKING]: replay folders for TARVO_CAMERA, for scripts
// that run the installed programs. TURNS: the man of the sample video
// holds each pose of the enrollment 3.5 s, in the plan's order. LOOKING:
// he looks at the screen, in frames of his that enrollment never takes
// (the ten after its "straight" ones), over and over.
#include "sandbox/Faces.h"

#include <cstdio>
#include <exception>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void writeLooking(const fs::path& folder) {
    fs::create_directories(folder / "frames");
    cv::VideoCapture video(tarvo::sandbox::Faces::franckVideo());
    cv::Mat frame;
    int kept = 0;
    video.set(cv::CAP_PROP_POS_FRAMES, 2741);
    for (int n = 2741; n <= 2750 && video.read(frame); ++n)
        cv::imwrite((folder / ("frames/" + std::to_string(kept++) + ".png")).string(), frame);
    if (kept == 0) throw std::runtime_error("the video has no frames");
    char link[32];
    for (int n = 0; n < 300; ++n) {
        std::snprintf(link, sizeof link, "%05d.png", n);
        fs::create_symlink("frames/" + std::to_string(n % kept) + ".png", folder / link);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: write-turns TURNS [LOOKING]\n");
        return 2;
    }
    try {
        tarvo::sandbox::Faces::writeTurns(argv[1]);
        if (argc == 3) writeLooking(argv[2]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "write-turns: %s\n", error.what());
        return 1;
    }
    return 0;
}
