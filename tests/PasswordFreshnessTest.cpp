#include "core/agent/PasswordFreshness.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using tarvo::PasswordFreshness;

namespace {

// A clock and a hibernation count the test moves by hand.
struct World {
    std::chrono::nanoseconds now = 1000h;
    std::int32_t hibernations = 7;

    PasswordFreshness freshness() {
        return PasswordFreshness([this] { return now; }, [this] { return hibernations; });
    }
};

TEST(PasswordFreshnessTest, HibernationComesFirstAndPresentingClearsIt) {
    World world;
    auto freshness = world.freshness();
    world.now += 1min;
    world.hibernations = 8;
    EXPECT_EQ(freshness.reasonPasswordRequired(),
              "this computer has hibernated since the last password");
    world.now += 72h;
    EXPECT_EQ(freshness.reasonPasswordRequired(),
              "this computer has hibernated since the last password");
    freshness.credentialPresented();
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::nullopt);
    // A count that becomes unreadable counts as a change; -1 then -1 does not.
    world.hibernations = -1;
    EXPECT_NE(freshness.reasonPasswordRequired(), std::nullopt);
    freshness.credentialPresented();
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::nullopt);
}

} // namespace
