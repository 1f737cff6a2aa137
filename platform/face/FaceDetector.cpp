#include "platform/face/FaceDetector.h"

#include "platform/face/BlazeFace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>
#include <mutex>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace tarvo::platform::FaceDetector {
namespace {

// HOG detection runs on a copy at most this wide; landmarks on the full frame.
constexpr int detectionWidth = 640;

// Loaded at the first face after a start or a release, and shared with
// the analyses under way: a release frees it once the last one is done.
// About a hundred megabytes: the bulk of an idle agent, were it kept.
std::mutex predictorLock;
std::shared_ptr<const dlib::shape_predictor> loadedPredictor; // guarded by predictorLock

Result<std::shared_ptr<const dlib::shape_predictor>> predictor() {
    std::lock_guard guard(predictorLock);
    if (loadedPredictor) return {loadedPredictor};
    auto loaded = std::make_shared<dlib::shape_predictor>();
    try {
        dlib::deserialize(landmarkModelPath()) >> *loaded;
    } catch (const std::exception& error) {
        return fail("landmark model " + landmarkModelPath() + " cannot be loaded: " + error.what());
    }
    loadedPredictor = std::move(loaded);
    return {loadedPredictor};
}

Region region(const dlib::full_object_detection& shape, const dlib::rectangle& box, int from,
              int to) {
    Region r;
    double w = std::max<double>(box.width(), 1), h = std::max<double>(box.height(), 1);
    for (int i = from; i <= to; ++i) {
        const auto& p = shape.part(i);
        r.normalizedPoints.push_back({(p.x() - box.left()) / w, 1.0 - (p.y() - box.top()) / h});
    }
    return r;
}

// A generic face in millimetres in the camera's axes (x to the image's
// right, y down, z away from the camera), so that a face looking straight
// at the camera gives the identity rotation. The nose tip is nearest.
const std::vector<cv::Point3d>& genericFace() {
    static const std::vector<cv::Point3d> points = {
        {0, 0, 0},            // 30 nose tip
        {0, 63.6, 12.5},      // 8 chin
        {-43.3, -32.7, 26.0}, // 36 outer corner of the image-left eye
        {43.3, -32.7, 26.0},  // 45 outer corner of the image-right eye
        {-28.9, 28.9, 24.1},  // 48 image-left mouth corner
        {28.9, 28.9, 24.1}};  // 54 image-right mouth corner
    return points;
}

// Angles of the fitted rotation: pitch about x, yaw about y, roll about z.
void poseFrom(const dlib::full_object_detection& shape, const cv::Size& size, Observation& face) {
    std::vector<cv::Point2d> image;
    for (int i : {30, 8, 36, 45, 48, 54})
        image.emplace_back(shape.part(i).x(), shape.part(i).y());
    double focal = size.width;
    cv::Matx33d camera(focal, 0, size.width / 2.0, 0, focal, size.height / 2.0, 0, 0, 1);
    cv::Vec3d rotation, translation;
    if (!cv::solvePnP(genericFace(), image, camera, cv::noArray(), rotation, translation, false,
                      cv::SOLVEPNP_ITERATIVE))
        return;
    cv::Matx33d r;
    cv::Rodrigues(rotation, r);
    // R = Rz(roll) * Ry(yaw) * Rx(pitch)
    face.yaw = std::asin(std::clamp(-r(2, 0), -1.0, 1.0));
    face.pitch = std::atan2(r(2, 1), r(2, 2));
    face.roll = std::atan2(r(1, 0), r(0, 0));
}

} // namespace

std::string landmarkModelPath() {
    const char* path = std::getenv("TARVO_LANDMARKS");
    return path ? path : "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
}

std::vector<Point> Observation::pointsInImage(const Region& region, int imageWidth,
                                              int imageHeight) const {
    std::vector<Point> points;
    for (const auto& p : region.normalizedPoints)
        points.push_back({(x + p.x * width) * imageWidth, (y + p.y * height) * imageHeight});
    return points;
}

namespace {

// The faces in `area` of the grey frame, searched at `scale`, as boxes of
// the whole frame.
std::vector<dlib::rectangle> faceBoxes(const cv::Mat& grey, const cv::Rect& area, double scale) {
    // Building the detector, and preparing its filters at its first
    // search, take a quarter of a second each; each camera start brings a
    // new frame thread. Every thread copies one built and run once.
    static const dlib::frontal_face_detector prototype = [] {
        dlib::frontal_face_detector built = dlib::get_frontal_face_detector();
        dlib::array2d<unsigned char> blank(120, 120);
        dlib::assign_all_pixels(blank, 0);
        built(blank);
        return built;
    }();
    thread_local dlib::frontal_face_detector detector = prototype;
    cv::Mat small;
    if (scale < 1.0)
        cv::resize(grey(area), small, cv::Size(), scale, scale, cv::INTER_AREA);
    else
        small = grey(area);
    dlib::cv_image<unsigned char> image(cvIplImage(small));
    std::vector<dlib::rectangle> boxes;
    for (const dlib::rectangle& hit : detector(image))
        boxes.emplace_back(
            area.x + std::lround(hit.left() / scale), area.y + std::lround(hit.top() / scale),
            area.x + std::lround(hit.right() / scale), area.y + std::lround(hit.bottom() / scale));
    return boxes;
}

std::atomic<bool> blazeFaceSearch{false};

// Where dlib's predictor expects the box of a face BlazeFace found: HOG's
// box, which the predictor was trained on, is centred a little above the
// middle of the eyes and the mouth and about as wide as BlazeFace's box
// (fitted on 278 faces, the portraits and franck.mp4 at 1280 x 720, that
// both found: the centre within 4 % of the face's width, the size 8 %).
dlib::rectangle predictorBox(const BlazeFace::Face& face) {
    float width = face.box.width;
    cv::Point2f eyes = (face.keypoints[0] + face.keypoints[1]) * 0.5f;
    cv::Point2f centre = (eyes + face.keypoints[3]) * 0.5f;
    double cx = centre.x - 0.006 * width, cy = centre.y - 0.030 * width;
    double half = 0.973 * width / 2;
    return dlib::rectangle(std::lround(cx - half), std::lround(cy - half), std::lround(cx + half),
                           std::lround(cy + half));
}

// A head leaning to one side: the eyes more than 20 degrees off level.
bool leans(const BlazeFace::Face& face) {
    cv::Point2f across = face.keypoints[1] - face.keypoints[0];
    return std::fabs(std::atan2(across.y, across.x)) > 20 * M_PI / 180;
}

// HOG's faces in the region twice the size of `face` around it, searched
// at about 110 pixels a face: the tracker's search, and the box of a
// leaning head.
std::vector<dlib::rectangle> hogAround(const cv::Mat& grey, const cv::Rect& face) {
    cv::Rect area = cv::Rect(face.x - face.width / 2, face.y - face.height / 2, face.width * 2,
                             face.height * 2) &
                    cv::Rect(0, 0, grey.cols, grey.rows);
    if (area.empty()) return {};
    return faceBoxes(grey, area, std::min(1.0, 110.0 / std::max(face.width, 1)));
}

// HOG's box of a leaning face: from BlazeFace's box the predictor finds
// the eyes of a leaning head poorly. Nothing when HOG finds no single face.
std::optional<dlib::rectangle> hogBoxNear(const cv::Mat& grey, const BlazeFace::Face& face) {
    auto found = hogAround(grey, face.box);
    if (found.size() != 1) return std::nullopt;
    return found[0];
}

std::vector<dlib::rectangle> hogSearch(const cv::Mat& grey) {
    return faceBoxes(grey, cv::Rect(0, 0, grey.cols, grey.rows),
                     grey.cols > detectionWidth ? double(detectionWidth) / grey.cols : 1.0);
}

// BlazeFace, and HOG where it finds nobody: HOG reaches faces down to
// about 100 pixels at 1280 x 720, BlazeFace only to about 140 (someone
// sitting well back from a laptop).
Result<std::vector<dlib::rectangle>> wholeFrame(const cv::Mat& frame, const cv::Mat& grey) {
    if (!blazeFaceSearch) return {hogSearch(grey)};
    cv::Mat bgr = frame;
    if (frame.channels() == 4) cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
    auto faces = BlazeFace::find(bgr);
    if (!faces) return faces.error();
    if (faces->empty()) return {hogSearch(grey)};
    // Two of BlazeFace's boxes can lead to one face: it counts once.
    std::vector<dlib::rectangle> boxes;
    for (const auto& face : *faces) {
        auto box =
            leans(face) ? hogBoxNear(grey, face).value_or(predictorBox(face)) : predictorBox(face);
        auto same = [&](const dlib::rectangle& other) {
            return (box.intersect(other)).area() * 2 > std::min(box.area(), other.area());
        };
        if (std::none_of(boxes.begin(), boxes.end(), same)) boxes.push_back(box);
    }
    return {std::move(boxes)};
}

} // namespace

Result<void> useSearchModel(const std::filesystem::path& model) {
    auto loaded = BlazeFace::load(model);
    if (loaded) blazeFaceSearch = true;
    return loaded;
}

void useHogSearch() {
    blazeFaceSearch = false;
}

Result<std::vector<Observation>> detect(const cv::Mat& frame, Timings* timings, Tracker* tracker) {
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    Timings spent;
    auto start = Clock::now();
    auto loaded = predictor();
    if (!loaded) return loaded.error();
    const dlib::shape_predictor& shapes = **loaded;
    cv::Mat grey;
    cv::cvtColor(frame, grey, frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    std::vector<dlib::rectangle> found;
    // BlazeFace searches a whole frame faster than HOG a tracked region.
    bool tracked = !blazeFaceSearch && tracker && tracker->face_ && tracker->size_ == grey.size() &&
                   tracker->sinceFullScan_ + 1 < Tracker::fullScanEvery;
    if (tracked) {
        found = hogAround(grey, *tracker->face_);
        tracked = !found.empty();
    }
    if (!tracked) {
        auto searched = wholeFrame(frame, grey);
        if (!searched) return searched.error();
        found = std::move(*searched);
    }
    if (tracker) {
        tracker->size_ = grey.size();
        tracker->sinceFullScan_ = tracked ? tracker->sinceFullScan_ + 1 : 0;
        if (found.size() == 1)
            tracker->face_ =
                cv::Rect(found[0].left(), found[0].top(), found[0].width(), found[0].height());
        else
            tracker->face_.reset();
    }
    spent.detectMs = since(start);

    std::vector<Observation> faces;
    dlib::cv_image<unsigned char> fullImage(cvIplImage(grey));
    for (const dlib::rectangle& box : found) {
        start = Clock::now();
        dlib::full_object_detection shape = shapes(fullImage, box);
        spent.landmarksMs += since(start);
        Observation face;
        double W = grey.cols, H = grey.rows;
        face.x = box.left() / W;
        face.width = box.width() / W;
        face.height = box.height() / H;
        face.y = 1.0 - (box.top() + box.height()) / H;
        if (shape.num_parts() == 68) {
            Landmarks marks;
            marks.leftEye = region(shape, box, 36, 41);
            marks.rightEye = region(shape, box, 42, 47);
            marks.nose = region(shape, box, 27, 30);
            marks.outerLips = region(shape, box, 48, 59);
            face.landmarks = std::move(marks);
            start = Clock::now();
            poseFrom(shape, grey.size(), face);
            spent.poseMs += since(start);
        }
        faces.push_back(std::move(face));
    }
    if (timings) *timings = spent;
    return {std::move(faces)};
}

void release() {
    {
        std::lock_guard guard(predictorLock);
        loadedPredictor.reset();
    }
    BlazeFace::release();
}

// A first search of a camera-sized frame sets up what the libraries build
// once per process (about 0.3 s); a scan should find it ready.
Result<void> prepare() {
    auto faces = detect(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0)));
    if (!faces) return faces.error();
    return {};
}

} // namespace tarvo::platform::FaceDetector
