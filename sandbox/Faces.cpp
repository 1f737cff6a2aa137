#include "sandbox/Faces.h"

#include "core/face/FaceEngine.h"
#include "platform/face/FaceDetector.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace tarvo::sandbox::Faces {

const std::string& data() {
    static const std::string folder = TARVO_DATA_DIR;
    return folder;
}

std::string franckVideo() {
    return data() + "/franck/franck.mp4";
}

std::vector<Calibration::Sample> stillsOfFranck() {
    std::vector<Calibration::Sample> samples;
    for (const char* still : {"franck_01829.jpg", "franck_02045.jpg", "franck_02888.jpg",
                              "franck_03909.jpg", "franck_04117.jpg"}) {
        try {
            auto image = cv::imread(data() + "/franck/" + still);
            samples.push_back(Calibration::Sample::from(FaceEngine::analyze(image, true)));
        } catch (const std::exception& error) {
            std::printf("  %s skipped: %s\n", still, error.what());
        }
    }
    return samples;
}

std::filesystem::path someoneElse(const std::filesystem::path& folder) {
    auto photo = cv::imread(data() + "/faces/sample2.jpg");
    auto found = platform::FaceDetector::detect(photo);
    if (!found) throw std::runtime_error(found.error().text);
    auto& faces = *found;
    if (faces.empty()) throw std::runtime_error("no face in the stranger's photo");
    auto largest = *std::max_element(faces.begin(), faces.end(),
                                     [](auto& a, auto& b) { return a.width < b.width; });
    double w = largest.width * photo.cols, h = largest.height * photo.rows;
    double x = largest.x * photo.cols, y = (1 - largest.y - largest.height) * photo.rows;
    cv::Rect box(int(x - 0.25 * w), int(y - 0.35 * h), int(1.5 * w), int(1.6 * h));
    cv::Mat crop = photo(box & cv::Rect(0, 0, photo.cols, photo.rows)), larger;
    cv::resize(crop, larger, {}, 2.0, 2.0, cv::INTER_CUBIC);
    auto path = folder / "someone-else.jpg";
    cv::imwrite(path.string(), larger);
    return path;
}

} // namespace tarvo::sandbox::Faces
