// Sealing and opening the password on a (software) TPM, and the camera's
// delivery rate from the replay source.
#include "core/agent/StoredPassword.h"
#include "core/face/Camera.h"
#include "platform/agent/HardwareKey.h"
#include "sandbox/BuildTree.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <vector>

namespace sb = tarvo::sandbox;
using Clock = std::chrono::steady_clock;

namespace {

void report(const char* what, int runs, const std::function<void()>& once) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        once();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %8.2f ms   p95 %8.2f ms   (%d runs)\n", what, ms[ms.size() / 2],
                ms[ms.size() * 95 / 100], runs);
}

void cameraRate(double seconds) {
    tarvo::Camera camera(
        [] { return tarvo::platform::openReplay(sb::tree::data("franck/franck.mp4")); });
    std::mutex lock;
    std::vector<Clock::time_point> arrivals;
    camera.start([&](const tarvo::Camera::Image&) {
        std::lock_guard guard(lock);
        arrivals.push_back(Clock::now());
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    camera.stop();
    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals.size(); ++i)
        gaps.push_back(
            std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count());
    std::sort(gaps.begin(), gaps.end());
    std::printf("camera (replay of franck.mp4): %.1f frames/s over %.0f s; gap median %.1f ms, "
                "p99 %.1f ms\n",
                (arrivals.size() - 1) /
                    std::chrono::duration<double>(arrivals.back() - arrivals.front()).count(),
                seconds, gaps[gaps.size() / 2], gaps[gaps.size() * 99 / 100]);
}

} // namespace

int main(int argc, char** argv) {
    sb::enter(argc, argv);
    sb::PamStack::usePasswordCheck({{"root", "bench password"}});
    sb::SoftwareTpm tpm;
    tpm.use();

    namespace HardwareKey = tarvo::platform::HardwareKey;
    report("TPM: create key (primary + child)", 20, [] {
        if (!HardwareKey::create()) std::abort();
    });
    auto key = HardwareKey::create();
    report("TPM: load + ECDH_ZGen (primary + load + zgen)", 50, [&] {
        if (!HardwareKey::sharedSecret(key->blob, key->publicPoint)) std::abort();
    });
    report("StoredPassword::isCorrect (PAM)", 50,
           [] { tarvo::StoredPassword::isCorrect("bench password"); });
    report("StoredPassword::save (check, seal, write)", 20,
           [] { tarvo::StoredPassword::save("bench password"); });
    report("StoredPassword::load (open on the TPM)", 50, [] {
        if (!tarvo::StoredPassword::load()) std::abort();
    });
    cameraRate(5);
    return 0;
}
