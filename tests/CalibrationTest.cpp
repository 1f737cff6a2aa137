#include "core/face/Calibration.h"

#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace C = tarvo::Calibration;
using tarvo::Config;
using Descriptor = tarvo::Descriptor;

namespace {

// A unit sample at an angle (radians) on a circle, with an eye ratio.
C::Sample sample(double angle, double ear = 0.3) {
    return {Descriptor{{float(std::cos(angle)), float(std::sin(angle))}}, ear};
}

class CalibrationTest : public testing::Test {
  protected:
    void SetUp() override {
        tarvo::Enrollment::clear();
        std::filesystem::remove(tarvo::Paths::config());
    }
};

TEST_F(CalibrationTest, SinglesAreEstimatedAndCoverageIsTheWidestPair) {
    auto result = C::commit(std::vector<C::Sample>{sample(0), sample(0.2), sample(0.5)}, "Ada");
    EXPECT_TRUE(result.estimated);
    EXPECT_EQ(result.noiseWorst, 0);
    EXPECT_EQ(result.noiseMean, 0);
    EXPECT_NEAR(result.coverageWorst, 1 - std::cos(0.5), 1e-6);
    EXPECT_EQ(result.samples, 3);
    EXPECT_EQ(tarvo::Enrollment::load().size(), 3u);
}

TEST_F(CalibrationTest, NoiseWithinPosesAndTheSavedSettings) {
    // A settings file the user made: sensitivity 1.7, blink mode.
    std::ofstream(tarvo::Paths::config()) << R"({"sensitivity": 1.7, "liveness": "blink"})";
    auto result = C::commit(
        {{sample(0, 0.0), sample(0.1, 0.2)}, {sample(1.0, 0.3), sample(1.2, 0.25)}}, "Ada");
    EXPECT_FALSE(result.estimated);
    EXPECT_NEAR(result.noiseWorst, 1 - std::cos(0.2), 1e-6);
    EXPECT_NEAR(result.noiseMean, ((1 - std::cos(0.1)) + (1 - std::cos(0.2))) / 2, 1e-6);
    EXPECT_NEAR(result.coverageWorst, 1 - std::cos(1.2), 1e-6);
    EXPECT_DOUBLE_EQ(result.openEyeAspectRatio, 0.25) << "0.2, 0.25, 0.3: index 1";
    EXPECT_EQ(result.threshold, Config::loosest());
    Config saved = Config::load();
    EXPECT_EQ(saved.liveness, Config::Liveness::blink) << "other fields kept";
    EXPECT_DOUBLE_EQ(saved.openEyeAspectRatio, 0.25);
    EXPECT_EQ(saved.sensitivity, 1.7);
}

TEST_F(CalibrationTest, OpenEyeRatioMedianAndFallbackSettings) {
    auto result = C::commit(std::vector<C::Sample>{sample(0, 0.2), sample(0.1, 0.25),
                                                   sample(0.2, 0.3), sample(0.3, 0.35)},
                            "Ada");
    EXPECT_DOUBLE_EQ(result.openEyeAspectRatio, 0.3) << "upper middle of four";
    EXPECT_EQ(Config::load().threshold, Config::strictest());
    auto shut =
        C::commit(std::vector<C::Sample>{sample(0, 0), sample(0.1, 0), sample(0.2, 0)}, "Bob");
    EXPECT_EQ(shut.openEyeAspectRatio, 0.0);
    EXPECT_EQ(Config::load().openEyeAspectRatio, 0.0);
    EXPECT_EQ(Config::load().requiredFrames, 3);
}

TEST_F(CalibrationTest, IncomparableSamplesAreLeftOutOfTheFiguresButStored) {
    C::Sample odd{Descriptor{{1, 0, 0}}, 0.3};
    auto result = C::commit(std::vector<C::Sample>{sample(0), sample(0.4), odd}, "Ada");
    EXPECT_NEAR(result.coverageWorst, 1 - std::cos(0.4), 1e-6);
    EXPECT_EQ(tarvo::Enrollment::faces()[0].samples.size(), 3u);
}

} // namespace
