#include "core/Paths.h"

#include "sandbox/Sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace sb = tarvo::sandbox;

namespace {

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Paths caches the folder per process, so each case runs in a fresh child,
// as a user other than the one this process runs as.
class PathsTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the test users";
        std::filesystem::remove_all(sb::home("alice") / "Library");
    }
    std::filesystem::path folder() { return sb::home("alice") / tarvo::Paths::relativeDir; }
};

TEST_F(PathsTest, FirstAccessCreatesFolderFromUserDatabaseHome) {
    ::setenv("HOME", "/nonexistent", 1);
    int status = sb::runAs(sb::aliceUid, [&] {
        // The socket path alone goes through the folder.
        return tarvo::Paths::socket() == folder() / "agent.sock" ? 0 : 1;
    });
    ::unsetenv("HOME");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(modeOf(folder()), 0700u);
}

TEST_F(PathsTest, WiderFolderIsNarrowedOnceAndNotTouchedAgain) {
    std::filesystem::create_directories(folder());
    chmod(folder().c_str(), 0755);
    chown(folder().c_str(), sb::aliceUid, sb::aliceUid);
    int status = sb::runAs(sb::aliceUid, [&] {
        tarvo::Paths::dir();
        if (modeOf(folder()) != 0700) return 1;
        chmod(folder().c_str(), 0750);
        tarvo::Paths::log(); // cached: touches nothing on disk
        return modeOf(folder()) == 0750 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(PathsTest, FileNames) {
    int status = sb::runAs(sb::aliceUid, [&] {
        using namespace tarvo::Paths;
        bool ok = config() == folder() / "config.json" &&
                  enrolled() == folder() / "enrolled.json" &&
                  legacyEnrolled() == folder() / "enrolled.archive" &&
                  log() == folder() / "tarvo.log" && dir() == folder();
        return ok ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
