#include "core/agent/PasswordFreshness.h"

#include "core/store/Paths.h"
#include "sandbox/Sandbox.h"

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

// A damaged record asks for the password rather than counting from now;
// the typed password starts a new one, the damaged one kept aside.
TEST(PasswordFreshnessTest, ADamagedRecordAsksForThePasswordOnce) {
    auto clock = [] { return std::chrono::nanoseconds(1000h); };
    const auto record = tarvo::Paths::passwordTyped();
    tarvo::sandbox::writeFile(record, "garbage");
    PasswordFreshness freshness(clock);
    freshness.keep();
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::string(tarvo::Damage::passwordAge));
    EXPECT_EQ(PasswordFreshness::fileState(), tarvo::Damage::State::damaged);
    EXPECT_EQ(tarvo::sandbox::readFile(record), "garbage") << "not written over";
    freshness.credentialPresented();
    EXPECT_EQ(freshness.reasonPasswordRequired(), std::nullopt);
    EXPECT_EQ(PasswordFreshness::fileState(), tarvo::Damage::State::readable);
    auto aside = tarvo::sandbox::filesLike(record);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(tarvo::sandbox::readFile(aside[0]), "garbage");
    std::filesystem::remove(aside[0]);
}

} // namespace
