#include "core/agent/PasswordFreshness.h"

#include "core/store/Paths.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using tarvo::PasswordFreshness;

namespace {

// The password's 48 hours, on a clock the test moves by hand, and kept for
// the next agent.
TEST(PasswordFreshnessTest, FortyEightHoursAfterTheLastPasswordItIsNeededAgain) {
    std::chrono::nanoseconds now = 1000h;
    auto clock = [&] { return now; };
    std::filesystem::remove(tarvo::Paths::passwordTyped());
    PasswordFreshness freshness(clock);
    freshness.keep();
    now += 48h;
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::nullopt);
    now += 1s;
    EXPECT_EQ(freshness.reasonPasswordRequired(), "48 hours since the last password");
    EXPECT_EQ(PasswordFreshness(clock).reasonPasswordRequired(), "48 hours since the last password")
        << "a new agent goes on counting";
    freshness.credentialPresented();
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::nullopt);
    EXPECT_EQ(PasswordFreshness(clock).reasonPasswordRequired(), std::nullopt);
}

} // namespace
