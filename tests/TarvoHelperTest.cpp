// tarvo-helper run for real, as root, against a temporary system tree.
#include "core/LockScreen.h"
#include "helper/StackEdit.h"
#include "sandbox/Sandbox.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
namespace sb = tarvo::sandbox;

namespace {

const std::string lockStack = "auth    required  pam_env.so\n"
                              "@include common-auth\n"
                              "account required  pam_nologin.so\n";

// A word for sh, quoted as the installer's scripts quote it.
std::string quote(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string readFile(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class TarvoHelperTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        root = sb::root() / "system";
        fs::remove_all(root);
        fs::create_directories(root / "etc/pam.d");
        stack = root / "etc/pam.d/gdm-password";
        std::ofstream(stack) << lockStack;
        chmod(stack.c_str(), 0644);
        ::setenv("TARVO_HELPER_ROOT", root.c_str(), 1);
        ::unsetenv("XDG_CURRENT_DESKTOP");
    }
    void TearDown() override { ::unsetenv("TARVO_HELPER_ROOT"); }

    // Runs the helper; its exit status, with its standard error in `err`.
    int helper(const std::string& arguments) {
        std::string command = std::string(TARVO_HELPER) + " " + arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        err.clear();
        char buffer[512];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            err.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path root, stack;
    std::string err;
};

TEST_F(TarvoHelperTest, InstallWiresOnceAtTheTopOfAuthAndUninstallRemovesIt) {
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    std::string wired = readFile(stack);
    EXPECT_EQ(wired,
              "auth\t[success=done ignore=ignore default=ignore]\t/opt/tarvo/lib/pam_tarvo.so\n" +
                  lockStack);
    EXPECT_EQ(tarvo::LockScreen::wiredModulePath(stack), "/opt/tarvo/lib/pam_tarvo.so");
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    EXPECT_EQ(readFile(stack), wired) << "idempotent";
    struct stat st {};
    stat(stack.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "mode kept";

    std::ofstream(stack, std::ios::app) << "#auth sufficient /opt/tarvo/lib/pam_tarvo.so\n";
    ASSERT_EQ(helper("uninstall --user alice"), 0) << err;
    EXPECT_EQ(readFile(stack), lockStack + "#auth sufficient /opt/tarvo/lib/pam_tarvo.so\n")
        << "active lines only";
    EXPECT_EQ(tarvo::LockScreen::wiredModulePath(stack), std::nullopt);
}

TEST_F(TarvoHelperTest, BadInputIsRefusedAndLosesNothing) {
    EXPECT_EQ(helper("install --user nobody-here"), 1);
    EXPECT_NE(err.find("no such user: nobody-here"), std::string::npos) << err;
    EXPECT_EQ(helper("install alice"), 2);
    EXPECT_NE(err.find("usage:"), std::string::npos);

    chmod(stack.c_str(), 0664);
    EXPECT_EQ(helper("install --user alice"), 1);
    EXPECT_NE(err.find("writable by group or others"), std::string::npos) << err;
    chmod(stack.c_str(), 0644);

    fs::rename(stack, root / "etc/pam.d/real");
    fs::create_symlink(root / "etc/pam.d/real", stack);
    EXPECT_EQ(helper("install --user alice"), 1);
    EXPECT_NE(err.find("is a symlink"), std::string::npos) << err;
    EXPECT_EQ(readFile(root / "etc/pam.d/real"), lockStack);
    fs::remove(stack);

    // Only a lock screen's stack is ever touched: with just sudo's and
    // login's present, there is nothing to wire.
    std::ofstream(root / "etc/pam.d/sudo") << lockStack;
    std::ofstream(root / "etc/pam.d/login") << lockStack;
    EXPECT_EQ(helper("install --user alice"), 1);
    EXPECT_NE(err.find("no lock screen PAM stack found"), std::string::npos) << err;
    EXPECT_EQ(readFile(root / "etc/pam.d/sudo"), lockStack);
    EXPECT_EQ(readFile(root / "etc/pam.d/login"), lockStack);
}

TEST_F(TarvoHelperTest, PurgeRemovesOnlyItsOwnInstallation) {
    auto app = sb::root() / "Team's Apps/tarvo";
    fs::create_directories(app / "libexec");
    fs::copy_file(TARVO_HELPER, app / "libexec/tarvo-helper", fs::copy_options::overwrite_existing);
    auto elsewhere = sb::root() / "precious";
    fs::create_directories(elsewhere);
    ASSERT_EQ(helper("install --user alice"), 0) << err;

    std::string copied = quote((app / "libexec/tarvo-helper").string());
    std::string command = copied + " purge --user alice --app " + quote(elsewhere.string());
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
    EXPECT_TRUE(fs::exists(elsewhere)) << "not the helper's own installation";

    command = copied + " purge --user alice --app " + quote(app.string());
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_FALSE(fs::exists(app));
    EXPECT_EQ(readFile(stack), lockStack);
}

TEST(StackEdit, WireWithoutAnAuthLineAppends) {
    EXPECT_EQ(tarvo::StackEdit::wire("account required pam_unix.so\n", "X pam_tarvo.so"),
              "account required pam_unix.so\nX pam_tarvo.so\n");
    EXPECT_EQ(tarvo::StackEdit::wire("-auth optional pam_gnome_keyring.so\n", "X pam_tarvo.so"),
              "X pam_tarvo.so\n-auth optional pam_gnome_keyring.so\n");
}

} // namespace
