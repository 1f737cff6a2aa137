#include "app/CameraFeed.h"

#include "core/face/FaceEngine.h"

namespace tarvo::app {

CameraFeed::CameraFeed(Camera::SourceFactory source, QObject* parent)
    : QObject(parent), camera_(std::move(source)) {
    lifecycle_.setMaxThreadCount(1);
}

CameraFeed::~CameraFeed() {
    lifecycle_.clear();
    lifecycle_.waitForDone();
    camera_.stop();
}

void CameraFeed::start() {
    wanted_ = true;
    lifecycle_.start([this] {
        if (camera_.isRunning()) return;
        counter_ = 0;
        try {
            camera_.start([this](const Camera::Image& frame) { onFrame(frame); });
        } catch (const std::exception& e) {
            QMetaObject::invokeMethod(this, [this, text = QString::fromStdString(e.what())] {
                error_ = text;
                emit errorChanged();
            });
        }
    });
}

void CameraFeed::stop() {
    wanted_ = false;
    lifecycle_.start([this] { camera_.stop(); });
    image_ = cv::Mat();
    emit imageChanged();
    faceVisible_ = false;
    emit faceVisibleChanged();
}

// On the camera's frame thread. The preview shows every second frame and
// looks for a face in every sixth, which keeps it cheap beside a scan.
void CameraFeed::onFrame(const Camera::Image& frame) {
    std::int64_t n = ++counter_;
    if (n % 6 == 0) {
        bool visible = true;
        try {
            FaceEngine::analyze(frame, false);
        } catch (const std::exception&) {
            visible = false;
        }
        publish(frame, visible);
    } else if (n % 2 == 0) {
        publish(frame, std::nullopt);
    }
}

void CameraFeed::publish(const cv::Mat& frame, std::optional<bool> faceVisible) {
    QMetaObject::invokeMethod(this, [this, frame, faceVisible] {
        // A frame still on its way after stop() must not bring the picture back.
        if (!wanted_) return;
        image_ = frame;
        emit imageChanged();
        if (faceVisible) {
            faceVisible_ = *faceVisible;
            emit faceVisibleChanged();
        }
    });
}

} // namespace tarvo::app
