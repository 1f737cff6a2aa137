// write-replays FOLDER: camera replays (TARVO_CAMERA) for scripts that run
// the installed programs, into FOLDER:
//   turns/             the man of the sample video holds each pose of the
//                      enrollment 3.5 s, in the plan's order;
//   looking/           he looks at the screen, in frames of his that
//                      enrollment never takes (the ten after its "straight"
//                      ones), over and over;
//   someone-else.jpg   a stranger's face.
#include "sandbox/Faces.h"

#include <cstdio>
#include <exception>
#include <opencv2/videoio.hpp>
#include <stdexcept>

namespace fs = std::filesystem;
namespace Faces = tarvo::sandbox::Faces;

namespace {

void writeLooking(const fs::path& folder) {
    cv::VideoCapture video(Faces::franckVideo());
    video.set(cv::CAP_PROP_POS_FRAMES, 2741);
    std::vector<cv::Mat> frames;
    cv::Mat frame;
    for (int n = 2741; n <= 2750 && video.read(frame); ++n)
        frames.push_back(frame.clone());
    if (frames.empty()) throw std::runtime_error(Faces::franckVideo() + ": frames missing");
    Faces::writeReplay(folder, {frames}, 300);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write-replays FOLDER\n");
        return 2;
    }
    try {
        fs::path folder = argv[1];
        Faces::writeTurns(folder / "turns");
        writeLooking(folder / "looking");
        Faces::someoneElse(folder);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "write-replays: %s\n", error.what());
        return 1;
    }
    return 0;
}
