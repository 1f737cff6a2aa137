#include "core/system/Diagnostics.h"

#include "core/agent/StoredPassword.h"
#include "core/face/FaceEngine.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"
#include "core/system/LockScreen.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sys/stat.h>
#include <thread>

using namespace tarvo;
using json = nlohmann::json;
namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;

namespace {

const std::string data = sb::tree::dataDir;

std::vector<std::string> keys(const json& object) {
    std::vector<std::string> names;
    for (const auto& [name, value] : object.items())
        names.push_back(name);
    return names;
}

// A camera that opens but never delivers a frame.
class SilentSource : public platform::VideoSource {
  public:
    bool next(platform::Image&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return false;
    }
};

// As root the test gets a mount namespace of its own in which /etc/pam.d
// and /opt are empty folders: the lock screen's stack and the installed
// module are real files at their real paths, without touching the machine's.
class DiagnosticsTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { isolated = sb::privateSystemFolders(); }
    void SetUp() override {
        for (auto file : {Paths::config(), Paths::enrolled(), StoredPassword::file()})
            fs::remove(file);
        ::setenv("TARVO_CAMERA", (data + "/franck/franck_01829.jpg").c_str(), 1);
    }
    static inline bool isolated = false;
};

TEST_F(DiagnosticsTest, NothingInstalledNothingEnrolled) {
    if (!isolated) GTEST_SKIP() << "needs root for a mount namespace";
    auto report = json::parse(Diagnostics::report(false));
    EXPECT_EQ(keys(report), (std::vector<std::string>{"agent", "camera", "config", "enrollment",
                                                      "lockScreen", "system", "tarvo"}));
    EXPECT_EQ(report["enrollment"],
              json::parse(R"({"faces": 0, "samplesPerFace": [], "totalSamples": 0})"));
    EXPECT_EQ(report["config"]["threshold"].get<double>(), tarvo::Config::strictest())
        << "the 32-bit threshold as it is, not rounded";
    EXPECT_GT(report["config"]["modelScale"]["loosest"].get<double>(), 0) << "the model's scale";
    EXPECT_EQ(report["config"]["passwordSaved"], false);
    EXPECT_EQ(report["lockScreen"], json::parse(R"({"stacks": {}, "wired": false})"));
    EXPECT_EQ(keys(report["camera"]), std::vector<std::string>{"authorization"});
    EXPECT_EQ(report["agent"]["socketExists"], false);
}

TEST_F(DiagnosticsTest, WiredModuleAndTheChainAboveIt) {
    if (!isolated) GTEST_SKIP() << "needs root for a mount namespace";
    std::ofstream("/etc/pam.d/gdm-password")
        << "auth\t[success=done ignore=ignore default=ignore]\t/opt/tarvo/lib/pam_tarvo.so\n"
           "@include common-auth\n";
    std::ofstream("/etc/pam.d/i3lock") << "auth include login\n";
    fs::create_directories(LockScreen::moduleDir);
    std::ofstream(LockScreen::module) << "module";
    ::chmod(LockScreen::moduleDir, 0775);
    auto text = Diagnostics::report(false);
    EXPECT_NE(text.find("\"/etc/pam.d/i3lock\""), std::string::npos) << "slashes as they are";
    auto lock = json::parse(text)["lockScreen"];
    EXPECT_EQ(lock["wired"], true);
    EXPECT_EQ(lock["stacks"], json::parse(R"({"/etc/pam.d/gdm-password": "wired",
                                              "/etc/pam.d/i3lock": "not wired"})"));
    EXPECT_EQ(lock["module"], "/opt/tarvo/lib/pam_tarvo.so");
    EXPECT_EQ(lock["moduleExists"], true);
    EXPECT_EQ(lock["rootOnlyChain"], false);
    EXPECT_NE(lock["problem"].get<std::string>().find("is writable by group or others (mode"),
              std::string::npos);

    ::chmod(LockScreen::moduleDir, 0755);
    lock = json::parse(Diagnostics::report(false))["lockScreen"];
    EXPECT_EQ(lock["rootOnlyChain"], true);
    EXPECT_FALSE(lock.contains("problem"));
    fs::remove("/etc/pam.d/gdm-password");
    fs::remove("/etc/pam.d/i3lock");
}

TEST_F(DiagnosticsTest, CameraThatDeliversNothing) {
    auto report = json::parse(
        Diagnostics::report(true, []() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
            return {std::make_unique<SilentSource>()};
        }));
    auto& camera = report["camera"];
    EXPECT_EQ(camera["framesDelivered"], 0);
    EXPECT_EQ(camera["settled"], false);
    EXPECT_FALSE(camera.contains("frameSize"));
    EXPECT_FALSE(camera.contains("faceDetected"));
}

TEST_F(DiagnosticsTest, ReplayedFaceBeforeAndAfterEnrolling) {
    auto camera = json::parse(Diagnostics::report(true))["camera"];
    EXPECT_EQ(camera["authorization"], "authorized");
    EXPECT_EQ(camera["settled"], true);
    EXPECT_GE(camera["framesDelivered"], 12);
    auto still = cv::imread(data + "/franck/franck_01829.jpg");
    EXPECT_EQ(camera["frameSize"], std::to_string(still.cols) + "x" + std::to_string(still.rows));
    EXPECT_GT(camera["brightness"], 0.1);
    EXPECT_EQ(camera["faceDetected"], true);
    EXPECT_GT(camera["eyeAspectRatio"], 0.15);
    EXPECT_FALSE(camera.contains("nearestDistance")) << "nothing enrolled";
    EXPECT_FALSE(camera.contains("matched"));

    Enrollment::add("Franck", {*FaceEngine::analyze(still, true).descriptor});
    camera = json::parse(Diagnostics::report(true))["camera"];
    EXPECT_LT(camera["nearestDistance"], 0.01);
    EXPECT_EQ(camera["matched"], true);

    auto blank = fs::path(Paths::dir()) / "blank.png";
    cv::imwrite(blank.string(), cv::Mat(240, 320, CV_8UC3, cv::Scalar(40, 40, 40)));
    ::setenv("TARVO_CAMERA", blank.c_str(), 1);
    camera = json::parse(Diagnostics::report(true))["camera"];
    EXPECT_EQ(camera["faceDetected"], false);
    EXPECT_EQ(camera["detectionError"], "no face in frame");
}

} // namespace
