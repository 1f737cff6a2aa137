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
    double now = Enrollment::unixSeconds(std::chrono::system_clock::now());
    EXPECT_NEAR(faces[0].addedAt, now, 5);

    std::string text = sb::readFile(tarvo::Paths::enrolled());
    EXPECT_EQ(text.rfind("{\"version\":3,\"faces\":[{\"id\":\"", 0), 0u) << text;
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
    sb::writeFile(tarvo::Paths::enrolled(), R"({"version":4,"faces":[]})");
    EXPECT_STREQ(loadFails().what(), "enrolled data unreadable (enrolled with a newer "
                                     "version of Tarvo). Re-enroll in Tarvo.");
}

// The version before dated faces from 2001 and learned nothing: it is read
// with its dates moved to Unix time, and the next write is this version.
TEST_F(EnrollmentTest, TheVersionBeforeIsReadAndWrittenBackAsThisOne) {
    sb::writeFile(tarvo::Paths::enrolled(),
                  R"({"version":2,"faces":[{"id":"6f1a2c3d-0000-4000-8000-00000000abcd",)"
                  R"("name":"Ada","samples":[{"vector":[0.6,0.8]}],"addedAt":7.5e8}]})");
    auto faces = Enrollment::faces();
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_EQ(faces[0].addedAt, 7.5e8 + 978307200) << "2024-10-07 both ways";
    EXPECT_TRUE(faces[0].learned.empty());
    Enrollment::add("Bob", {b});
    EXPECT_EQ(Enrollment::faces()[0], faces[0]);
    EXPECT_NE(sb::readFile(tarvo::Paths::enrolled()).find("\"version\":3"), std::string::npos);
}

// Learned samples are kept with their date and distance, scanned with the
// enrolled ones, and forgotten alone; a bad one is damage like any other.
TEST_F(EnrollmentTest, LearnedSamplesAreKeptScannedAndForgottenAlone) {
    Enrollment::add("Ada", {a});
    Enrollment::add("Bob", {b});
    auto ada = Enrollment::faces()[0];
    std::vector<Enrollment::Learned> learned = {{c, 1.7e9, 0.25f}};
    Enrollment::setLearned(ada.id, learned);
    Enrollment::setLearned("00000000-0000-4000-8000-000000000000", learned);
    EXPECT_EQ(Enrollment::faces()[0].learned, learned);
    EXPECT_TRUE(Enrollment::faces()[1].learned.empty());
    EXPECT_EQ(Enrollment::load(), (std::vector<Descriptor>{a, c, b}));

    std::string good = sb::readFile(tarvo::Paths::enrolled());
    std::string bad = good;
    bad.replace(bad.find("\"distance\":0.25"), 16, "\"distance\":-1");
    sb::writeFile(tarvo::Paths::enrolled(), bad);
    EXPECT_EQ(Enrollment::problem()->kind(), Enrollment::EnrollErrorKind::damaged);
    EXPECT_THROW(Enrollment::forgetLearned(), Enrollment::EnrollError);
    EXPECT_EQ(sb::readFile(tarvo::Paths::enrolled()), bad);

    sb::writeFile(tarvo::Paths::enrolled(), good);
    EXPECT_EQ(Enrollment::forgetLearned(), 1u);
    EXPECT_EQ(Enrollment::load(), (std::vector<Descriptor>{a, b}));
    EXPECT_EQ(Enrollment::faces()[0].samples, ada.samples);
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
                                     R"({"version":4,"faces":[]})",
                                     std::string(1 << 20, '['),
                                     scaled,
                                     "garbage"};
    using Kind = Enrollment::EnrollError::Kind;
    for (const std::string& bad : bads) {
        sb::writeFile(tarvo::Paths::enrolled(), bad);
        auto kind = bad.find("\"version\":4") != std::string::npos ? Kind::corrupt : Kind::damaged;
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
    sb::writeFile(tarvo::Paths::enrolled(), R"({"version":4,"faces":[]})");
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
    EXPECT_EQ(sb::readFile(tarvo::Paths::enrolled()), "{\"version\":3,\"faces\":[]}");
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
