#include "core/store/Enrollment.h"

#include "core/store/Paths.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace Enrollment = tarvo::Enrollment;
namespace sb = tarvo::sandbox;
using Descriptor = tarvo::Descriptor;

namespace {

Enrollment::EnrollError loadFails() {
    auto error = sb::thrown<Enrollment::EnrollError>([] { Enrollment::load(); });
    return error.value_or(Enrollment::EnrollError::nothingEnrolled());
}

class EnrollmentTest : public testing::Test {
  protected:
    void SetUp() override {
        Enrollment::clear();
        for (const auto& aside : sb::filesLike(tarvo::Paths::enrolled()))
            std::filesystem::remove(aside);
    }
    const Descriptor a{{0.6f, 0.8f}}, b{{0.8f, 0.6f}}, c{{1, 0}};
};

TEST_F(EnrollmentTest, AddStoresCompactVersionedJsonWithMode0600) {
    Enrollment::add("  Ada\n", {a, b});
    auto faces = Enrollment::faces();
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].name, "Ada");
    EXPECT_EQ(faces[0].samples, (std::vector<Descriptor>{a, b}));
    EXPECT_TRUE(
        std::regex_match(faces[0].id, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
    double now = Enrollment::referenceSeconds(std::chrono::system_clock::now());
    EXPECT_NEAR(faces[0].addedAt, now, 5);
    EXPECT_GT(faces[0].addedAt, 7e8) << "seconds since 2001, not 1970";

    std::string text = sb::readFile(tarvo::Paths::enrolled());
    EXPECT_EQ(text.rfind("{\"version\":2,\"faces\":[{\"id\":\"", 0), 0u) << text;
    EXPECT_NE(text.find("\"samples\":[{\"vector\":[0.6,0.8]},{\"vector\":[0.8,0.6]}],\"addedAt\":"),
              std::string::npos)
        << text;
    EXPECT_EQ(sb::modeOf(tarvo::Paths::enrolled()), 0600u);
    EXPECT_EQ(Enrollment::load(), (std::vector<Descriptor>{a, b}));
}

TEST_F(EnrollmentTest, SameNameInAnotherCaseReplacesAndMovesToTheEnd) {
    Enrollment::add("Ada", {a});
    Enrollment::add("Bob", {b});
    std::string firstId = Enrollment::faces()[0].id;
    Enrollment::add("ADA", {c});
    auto faces = Enrollment::faces();
    ASSERT_EQ(faces.size(), 2u);
    EXPECT_EQ(faces[0].name, "Bob");
    EXPECT_EQ(faces[1].name, "ADA");
    EXPECT_NE(faces[1].id, firstId);
    EXPECT_EQ(Enrollment::load(), (std::vector<Descriptor>{b, c}));
}

TEST_F(EnrollmentTest, UnnamedFacesAreNumbered) {
    Enrollment::add("Ada", {a});
    Enrollment::add("Bob", {b});
    Enrollment::add(" ", {c});
    EXPECT_EQ(Enrollment::faces().back().name, "Face 3");
    Enrollment::clear();
    Enrollment::add("Face 2", {a});
    Enrollment::add("", {b});
    auto faces = Enrollment::faces();
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].samples, std::vector<Descriptor>{b});
}

TEST_F(EnrollmentTest, OlderFilesAskForANewEnrollment) {
    sb::writeFile(tarvo::Paths::legacyEnrolled(), "bplist00");
    EXPECT_STREQ(loadFails().what(),
                 "enrolled data unreadable (saved in an older format). Re-enroll in Tarvo.");
    EXPECT_TRUE(Enrollment::faces().empty());
    Enrollment::add("Ada", {a});
    EXPECT_FALSE(std::filesystem::exists(tarvo::Paths::legacyEnrolled()));

    sb::writeFile(tarvo::Paths::enrolled(), R"({"version":1,"faces":[]})");
    EXPECT_STREQ(loadFails().what(), "enrolled data unreadable (enrolled with an older "
                                     "version of Tarvo). Re-enroll in Tarvo.");
    sb::writeFile(tarvo::Paths::enrolled(), R"({"version":3,"faces":[]})");
    EXPECT_STREQ(loadFails().what(), "enrolled data unreadable (enrolled with a newer "
                                     "version of Tarvo). Re-enroll in Tarvo.");
}

// A file that can't be decoded is never written over: one bad field, a
// newer version, a cut-off tail, no read permission, a bracket bomb.
TEST_F(EnrollmentTest, AFileThatCantBeReadLosesNothing) {
    Enrollment::add("Ada", {a});
    Enrollment::add("Bob", {b});
    const std::string good = sb::readFile(tarvo::Paths::enrolled());
    std::string badField = good;
    badField.replace(badField.find("\"addedAt\":"), 10, "\"addedAt\":\"x\",\"y\":");
    // Samples are unit vectors: one scaled up would widen what matches.
    std::string scaled = good;
    scaled.replace(scaled.find("[0.6,0.8]"), 9, "[600000,800000]");
    std::vector<std::string> bads = {badField,
                                     good.substr(0, good.size() - 9),
                                     R"({"version":3,"faces":[]})",
                                     std::string(1 << 20, '['),
                                     scaled,
                                     "garbage"};
    using Kind = Enrollment::EnrollError::Kind;
    for (const std::string& bad : bads) {
        sb::writeFile(tarvo::Paths::enrolled(), bad);
        auto kind = bad.find("\"version\":3") != std::string::npos ? Kind::corrupt : Kind::damaged;
        EXPECT_TRUE(Enrollment::faces().empty());
        EXPECT_EQ(loadFails().kind(), kind);
        EXPECT_EQ(Enrollment::problem()->kind(), kind);
        EXPECT_THROW(Enrollment::add("Carol", {a}), Enrollment::EnrollError);
        EXPECT_THROW(Enrollment::remove("x"), Enrollment::EnrollError);
        EXPECT_EQ(sb::readFile(tarvo::Paths::enrolled()), bad) << "left as it was";
    }
    EXPECT_STREQ(loadFails().what(), "Your faces file is damaged");
    // Set aside, it is kept whole, and enrolling starts afresh; a file of
    // another version is no damage.
    auto aside = Enrollment::setAsideDamaged();
    ASSERT_TRUE(aside);
    EXPECT_EQ(*aside, sb::filesLike(tarvo::Paths::enrolled()).at(0));
    EXPECT_EQ(sb::readFile(*aside), "garbage");
    EXPECT_EQ(Enrollment::problem(), std::nullopt);
    Enrollment::add("Carol", {a});
    EXPECT_EQ(Enrollment::faces().size(), 1u);
    sb::writeFile(tarvo::Paths::enrolled(), R"({"version":3,"faces":[]})");
    EXPECT_EQ(Enrollment::setAsideDamaged(), std::nullopt);
    sb::writeFile(tarvo::Paths::enrolled(), "garbage");
    // Starting over keeps the unreadable file aside.
    Enrollment::clear();
    EXPECT_EQ(sb::readFile(tarvo::Paths::enrolled().string() + ".unreadable"), "garbage");
    Enrollment::add("Carol", {a});
    EXPECT_EQ(Enrollment::faces().size(), 1u);
}

TEST_F(EnrollmentTest, Remove) {
    Enrollment::remove("00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(sb::readFile(tarvo::Paths::enrolled()), "{\"version\":2,\"faces\":[]}");
    Enrollment::add("Ada", {a});
    Enrollment::add("Bob", {b});
    auto before = Enrollment::faces();
    Enrollment::remove("00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(Enrollment::faces(), before);
    Enrollment::remove(before[0].id);
    auto after = Enrollment::faces();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].name, "Bob");
}

} // namespace
