// The scale committed beside the model is what measuring the shipped
// detector and model on the pinned photos gives today.
#include "tools/ModelFigures.h"

#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

TEST(ModelFiguresTest, TheCommittedScaleIsWhatTheModelMeasures) {
    if (!std::filesystem::exists(tarvo::sandbox::tree::data("strangers")))
        GTEST_SKIP() << "the stranger portraits are not fetched";
    auto committed = tarvo::ModelScale::decode(
        tarvo::sandbox::readFile(tarvo::sandbox::tree::data("model/FaceEmbedding.json")));
    ASSERT_TRUE(committed) << "no sound scale in FaceEmbedding.json";

    auto measured = tarvo::ModelFigures::measure(tarvo::sandbox::tree::dataDir);
    auto fresh = tarvo::ModelFigures::fit(measured);
    EXPECT_EQ(fresh.strictest, committed->strictest);
    EXPECT_EQ(fresh.loosest, committed->loosest);
    EXPECT_NEAR(fresh.closestStranger, committed->closestStranger, 0.002);
    EXPECT_EQ(fresh.strangerPairs, committed->strangerPairs);
    for (int k = 0; k < tarvo::ModelScale::steps; ++k)
        EXPECT_NEAR(fresh.acceptance[k], committed->acceptance[k], 0.5) << "step " << k;
    // What the scale promises: no stranger at the loosest step.
    for (float d : measured.strangerPairs)
        ASSERT_GT(d, committed->loosest);
    for (const auto& room : measured.rooms)
        for (float d : room.galleryStrangers)
            ASSERT_GT(d, committed->loosest) << room.room;
}

} // namespace
