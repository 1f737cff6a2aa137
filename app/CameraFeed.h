#pragma once

#include "core/face/Camera.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <cstdint>

Q_DECLARE_METATYPE(cv::Mat)

namespace tarvo::app {

// The live picture of the enrollment and test panels, and whether exactly
// one face is in it. The camera is started and stopped off the main thread
// (opening a device and joining its threads can take a frame or more), one
// change at a time, in the order asked.
class CameraFeed : public QObject {
    Q_OBJECT
    Q_PROPERTY(cv::Mat image READ image NOTIFY imageChanged)
    Q_PROPERTY(bool faceVisible READ faceVisible NOTIFY faceVisibleChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)

  public:
    // Without a source the camera uses the system's default.
    explicit CameraFeed(Camera::SourceFactory source = {}, QObject* parent = nullptr);
    ~CameraFeed() override;

    const cv::Mat& image() const { return image_; }
    bool faceVisible() const { return faceVisible_; }
    QString error() const { return error_; }
    Camera& camera() { return camera_; }

    // Starts the camera unless it runs.
    Q_INVOKABLE void start();
    // Stops the camera and clears the picture, as a panel does when it goes.
    Q_INVOKABLE void stop();

  signals:
    void imageChanged();
    void faceVisibleChanged();
    void errorChanged();

  private:
    void onFrame(const Camera::Image& frame);
    void publish(const cv::Mat& frame, std::optional<bool> faceVisible);

    cv::Mat image_;
    bool faceVisible_ = false;
    QString error_;
    bool wanted_ = false; // between start() and stop(), on the main thread
    Camera camera_;
    std::atomic<std::int64_t> counter_{0};
    QThreadPool lifecycle_; // one thread: starts and stops in order
};

} // namespace tarvo::app
