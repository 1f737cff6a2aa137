#include "app/CameraFeed.h"

#include "core/face/FaceEngine.h"

namespace tarvo::app {
namespace {

// Every feed's starts and stops, in the order asked. The queue outlives
// the feeds, so a feed going away never waits for its camera to stop.
SerialQueue& lifecycle() {
    static SerialQueue queue("tarvo-camera");
    return queue;
}

} // namespace

CameraFeed::CameraFeed(Camera::SourceFactory source, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>(std::move(source), this)) {}

CameraFeed::~CameraFeed() {
    shared_->mailbox->close();
    want(false);
}

void CameraFeed::start() {
    wanted_ = true;
    want(true);
}

void CameraFeed::stop() {
    wanted_ = false;
    want(false);
    image_ = cv::Mat();
    emit imageChanged();
    faceVisible_ = false;
    emit faceVisibleChanged();
}

void CameraFeed::want(bool running) {
    shared_->wanted = running;
    lifecycle().async([shared = shared_, token = std::make_shared<InFlight>()] { apply(shared); });
}

// On the lifecycle queue: brings the camera to the state last asked for.
void CameraFeed::apply(const std::shared_ptr<Shared>& shared) {
    if (!shared->wanted) return shared->camera.stop();
    if (shared->camera.isRunning()) return;
    shared->counter = 0;
    try {
        shared->camera.start([link = std::weak_ptr<Shared>(shared)](const Camera::Image& frame) {
            onFrame(link, frame);
        });
    } catch (const std::exception& e) {
        shared->mailbox->post([feed = shared->feed, text = QString::fromStdString(e.what())] {
            feed->error_ = text;
            emit feed->errorChanged();
        });
    }
}

// On the camera's frame thread. The preview shows every second frame and
// looks for a face in every sixth, which keeps it cheap beside a scan.
void CameraFeed::onFrame(const std::weak_ptr<Shared>& link, const Camera::Image& frame) {
    auto shared = link.lock();
    if (!shared) return;
    std::int64_t n = ++shared->counter;
    std::optional<bool> visible;
    if (n % 6 == 0) {
        try {
            FaceEngine::analyze(frame, false);
            visible = true;
        } catch (const std::exception&) {
            visible = false;
        }
    } else if (n % 2 != 0) {
        return;
    }
    shared->mailbox->post([feed = shared->feed, frame, visible] { feed->show(frame, visible); });
}

void CameraFeed::show(const cv::Mat& frame, std::optional<bool> faceVisible) {
    // A frame still on its way after stop() must not bring the picture back.
    if (!wanted_) return;
    image_ = frame;
    emit imageChanged();
    if (faceVisible) {
        faceVisible_ = *faceVisible;
        emit faceVisibleChanged();
    }
}

} // namespace tarvo::app
