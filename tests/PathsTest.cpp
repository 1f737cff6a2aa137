#include "core/store/Paths.h"

#include "sandbox/Sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace sb = tarvo::sandbox;

namespace {

// Paths caches the folder per process, so each case runs in a fresh child,
// as a user other than the one this process runs as.
class PathsTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the test users";
        std::filesystem::remove_all(sb::home("alice") / ".local");
        std::filesystem::remove_all(sb::home("alice") / "data");
    }
    std::filesystem::path folder() { return sb::home("alice") / ".local/share/tarvo"; }
};

TEST_F(PathsTest, FoldersComeFromTheUserDatabaseAndTheUid) {
    ::setenv("HOME", "/nonexistent", 1);
    ::setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    int status = sb::runAs(sb::aliceUid, [&] {
        if (tarvo::Paths::log() != folder() / "tarvo.log") return 1;
        // The socket's folder is the module's: derived from the uid alone.
        return tarvo::Paths::socket() == "/run/user/4242/tarvo/agent.sock" ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sb::modeOf(folder()), 0700u);
    EXPECT_EQ(sb::modeOf("/run/user/4242/tarvo"), 0700u);

    auto custom = sb::home("alice") / "data";
    ::setenv("XDG_DATA_HOME", custom.c_str(), 1);
    status = sb::runAs(sb::aliceUid, [&] {
        std::filesystem::create_directories(custom);
        return tarvo::Paths::dir() == custom / "tarvo" ? 0 : 1;
    });
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sb::modeOf(custom / "tarvo"), 0700u);
}

TEST_F(PathsTest, WiderFolderIsNarrowedOnceAndNotTouchedAgain) {
    std::filesystem::create_directories(folder());
    chmod(folder().c_str(), 0755);
    chown(folder().c_str(), sb::aliceUid, sb::aliceUid);
    int status = sb::runAs(sb::aliceUid, [&] {
        tarvo::Paths::dir();
        if (sb::modeOf(folder()) != 0700) return 1;
        chmod(folder().c_str(), 0750);
        tarvo::Paths::log(); // cached: touches nothing on disk
        return sb::modeOf(folder()) == 0750 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
