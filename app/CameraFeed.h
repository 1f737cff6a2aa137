#pragma once

#include "app/Worker.h"
#include "core/face/Camera.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>

Q_DECLARE_METATYPE(cv::Mat)

namespace tarvo::app {

// The live picture of the enrollment and test panels, and whether exactly
// one face is in it. The camera is started and stopped off the main thread:
// opening a device and joining its threads can take a frame or more, also
// when the feed goes away while its camera runs.
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
    Camera& camera() { return shared_->camera; }

    // Starts the camera unless it runs.
    Q_INVOKABLE void start();
    // Stops the camera and clears the picture, as a panel does when it goes.
    Q_INVOKABLE void stop();

  signals:
    void imageChanged();
    void faceVisibleChanged();
    void errorChanged();

  private:
    // What the camera's threads and the workers that start and stop it
    // share with the feed; they outlive it until the camera has stopped.
    struct Shared {
        Camera camera;
        CameraFeed* feed;                 // used only in what the mailbox delivers
        std::shared_ptr<Mailbox> mailbox; // closed once the feed is gone
        std::atomic<std::int64_t> counter{0};
        std::atomic<bool> wanted{false};
        Shared(Camera::SourceFactory source, CameraFeed* feed)
            : camera(std::move(source)), feed(feed), mailbox(std::make_shared<Mailbox>(feed)) {}
    };
    void want(bool running);
    static void apply(const std::shared_ptr<Shared>& shared);
    static void onFrame(const std::weak_ptr<Shared>& link, const Camera::Image& frame);
    void show(const cv::Mat& frame, std::optional<bool> faceVisible);

    cv::Mat image_;
    bool faceVisible_ = false;
    QString error_;
    bool wanted_ = false; // between start() and stop(), on the main thread
    std::shared_ptr<Shared> shared_;
};

} // namespace tarvo::app
