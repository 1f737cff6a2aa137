#include "core/store/Paths.h"

#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <functional>
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
        std::filesystem::remove_all(sb::root() / "shared");
    }
    std::filesystem::path folder() { return sb::home("alice") / ".local/share/tarvo"; }
};

TEST_F(PathsTest, FoldersComeFromTheUserDatabaseAndTheUid) {
    ::setenv("HOME", "/nonexistent", 1);
    ::setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    int status = sb::runAs(sb::aliceUid, [&] {
        if (tarvo::Paths::log() != folder() / "tarvo.log") return 1;
        // The socket's folder is the module's: derived from the uid alone.
        if (tarvo::Paths::socket() != "/run/user/4242/tarvo/agent.sock") return 2;
        // Asking where things are makes nothing; the first write does.
        if (std::filesystem::exists(folder())) return 3;
        tarvo::Config().save();
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sb::modeOf(folder()), 0700u);

    auto custom = sb::home("alice") / "data";
    ::setenv("XDG_DATA_HOME", custom.c_str(), 1);
    status =
        sb::runAs(sb::aliceUid, [&] { return tarvo::Paths::dir() == custom / "tarvo" ? 0 : 1; });
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(status, 0);
}

// What alice's reader and writer do with her data folder and its files.
std::string asAlice(const std::function<std::string()>& body) {
    return sb::outputAs(sb::aliceUid, [&] {
        try {
            return body();
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
    });
}

// Another user made alice's data folder first (her XDG_DATA_HOME lies in a
// folder everyone may write), with settings and a face of his: none of it
// is read, and nothing of hers is written there. A link in its place, or a
// file of someone else's in her own folder, is refused the same way.
TEST_F(PathsTest, AFolderOrFileThatIsNotTheUsersOwnIsRefused) {
    auto shared = sb::root() / "shared";
    std::filesystem::create_directories(shared / "tarvo");
    chmod(shared.c_str(), 01777);
    chmod((shared / "tarvo").c_str(), 0777);
    sb::own(shared / "tarvo", sb::bobUid, sb::bobUid);
    sb::writeFile(shared / "tarvo/config.json", R"({"sensitivity": 1})");
    sb::writeFile(shared / "tarvo/enrolled.json", R"({"version":2,"faces":[]})");
    ::setenv("XDG_DATA_HOME", shared.c_str(), 1);
    const std::string bobs =
        "Tarvo won't use " + (shared / "tarvo").string() + ": it belongs to uid 4343, not to you";
    EXPECT_EQ(asAlice([] { return std::to_string(tarvo::Config::load().sensitivity); }),
              "0.000000");
    EXPECT_EQ(asAlice([] { return std::to_string(tarvo::Enrollment::load().size()); }), bobs);
    EXPECT_EQ(asAlice([] {
                  tarvo::Config().save();
                  return std::string("saved");
              }),
              bobs);
    EXPECT_EQ(sb::readFile(shared / "tarvo/config.json"), R"({"sensitivity": 1})");

    // Her own name, as a link to his folder.
    ::setenv("XDG_DATA_HOME", (sb::home("alice") / "data").c_str(), 1);
    std::filesystem::create_directories(sb::home("alice") / "data");
    std::filesystem::create_directory_symlink(shared / "tarvo", sb::home("alice") / "data/tarvo");
    EXPECT_EQ(asAlice([] { return std::to_string(tarvo::Enrollment::load().size()); }),
              "Tarvo won't use " + (sb::home("alice") / "data/tarvo").string() +
                  ": it is a symbolic link");
    ::unsetenv("XDG_DATA_HOME");

    // Her own folder, wider than it should be, is narrowed; a file of hers
    // too; a file of someone else's in it is refused.
    std::filesystem::create_directories(folder());
    sb::own(folder(), sb::aliceUid, sb::aliceUid);
    chmod(folder().c_str(), 0755);
    sb::writeFile(folder() / "config.json", R"({"sensitivity": 0.5})");
    sb::own(folder() / "config.json", sb::aliceUid, sb::aliceUid);
    chmod((folder() / "config.json").c_str(), 0644);
    EXPECT_EQ(asAlice([] { return std::to_string(tarvo::Config::load().sensitivity); }),
              "0.500000");
    EXPECT_EQ(sb::modeOf(folder()), 0700u);
    EXPECT_EQ(sb::modeOf(folder() / "config.json"), 0600u);
    sb::writeFile(folder() / "enrolled.json", R"({"version":2,"faces":[]})");
    sb::own(folder() / "enrolled.json", sb::bobUid, sb::bobUid);
    EXPECT_EQ(asAlice([] { return std::to_string(tarvo::Enrollment::load().size()); }),
              "Tarvo won't use " + (folder() / "enrolled.json").string() +
                  ": it belongs to uid 4343, not to you");
}

} // namespace
