// tarvo-helper run for real, as root, against a temporary system tree.
#include "core/base/UniqueFd.h"
#include "core/system/LockScreen.h"
#include "core/system/SystemInstaller.h"
#include "helper/StackEdit.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
namespace sb = tarvo::sandbox;

namespace {

// Debian's own, trimmed: GNOME's gates come before the password check;
// i3lock's whole stack is an include.
const std::string gdmStack = "auth    requisite       pam_nologin.so\n"
                             "auth\trequired\tpam_succeed_if.so user != root quiet_success\n"
                             "@include common-auth\n"
                             "auth    optional        pam_gnome_keyring.so\n"
                             "@include common-account\n";
const std::string i3lockStack = "# i3lock\n\nauth include login\n";
const std::string otherStack = "auth required pam_unix.so\n";
const std::string ours = "auth\t[success=done ignore=ignore default=ignore]\t"
                         "/opt/tarvo/lib/pam_tarvo.so\n";

// 'word' for the shell, every ' written as '\''.
std::string quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The helper edits the real /etc/pam.d: here an empty one of this
// process's own mount namespace, filled with the stacks above.
class TarvoHelperTest : public testing::Test {
  protected:
    void SetUp() override {
        if (!sb::privateSystemFolders()) GTEST_SKIP() << "the helper runs as root";
        installed = sb::installedHelper(sb::tree::helper);
        write("gdm-password", gdmStack);
        write("i3lock", i3lockStack);
        for (auto name : {"login", "sudo", "common-auth"})
            write(name, otherStack);
    }
    void write(const std::string& name, const std::string& text) {
        std::ofstream(pam / name) << text;
        chmod((pam / name).c_str(), 0644);
    }

    // Runs the helper; its exit status, with its standard error in `err`.
    int helper(const std::string& arguments) {
        auto ran = sb::run(installed.string() + " " + arguments);
        err = ran.err;
        return ran.status;
    }

    // As pkexec leaves it: the helper running as root in place of a
    // process of `uid`'s, which stays its parent.
    int helperUnderPkexec(uid_t uid, const std::vector<std::string>& arguments) {
        auto errors = sb::root() / "pkexec-stderr";
        std::vector<std::string> words{installed.string()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int go[2];
        if (::pipe(go) != 0) return -1;
        pid_t asker = fork();
        if (asker == 0) {
            pid_t helper = fork();
            if (helper == 0) {
                char byte;
                ::close(go[1]);
                int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (::read(go[0], &byte, 1) != 1 || err < 0 || ::dup2(err, 2) < 0) _exit(126);
                ::execv(argv[0], argv.data());
                _exit(127);
            }
            ::close(go[0]);
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(126);
            (void)!::write(go[1], "x", 1);
            _exit(sb::waitFor(helper));
        }
        ::close(go[0]);
        ::close(go[1]);
        int status = sb::waitFor(asker);
        err = sb::readFile(errors);
        return status;
    }

    const fs::path pam = "/etc/pam.d";
    fs::path installed;
    std::string err;
};

TEST_F(TarvoHelperTest, WiresEveryLockScreenAfterItsGatesAndUnwiresExactlyOurs) {
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    std::string gdm = sb::readFile(pam / "gdm-password");
    EXPECT_EQ(gdm, "auth    requisite       pam_nologin.so\n"
                   "auth\trequired\tpam_succeed_if.so user != root quiet_success\n" +
                       ours + "@include common-auth\n" +
                       gdmStack.substr(gdmStack.find("auth    opt")));
    EXPECT_EQ(sb::readFile(pam / "i3lock"), "# i3lock\n\n" + ours + "auth include login\n");
    for (auto name : {"login", "sudo", "common-auth"})
        EXPECT_EQ(sb::readFile(pam / name), otherStack) << name;
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdm) << "idempotent";
    EXPECT_EQ(sb::modeOf(pam / "i3lock"), 0644u) << "mode kept";

    // Someone else's lines that mention the module are theirs.
    const std::string foreign = "#auth sufficient /opt/tarvo/lib/pam_tarvo.so\n"
                                "auth optional /usr/local/lib/pam_tarvo.so debug\n";
    std::ofstream(pam / "i3lock", std::ios::app) << foreign;
    ASSERT_EQ(helper("uninstall --user alice"), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack);
    EXPECT_EQ(sb::readFile(pam / "i3lock"), i3lockStack + foreign);
    EXPECT_EQ(tarvo::LockScreen::wiredModulePath(), "/usr/local/lib/pam_tarvo.so");
}

TEST_F(TarvoHelperTest, BadInputIsRefusedAndLosesNothing) {
    EXPECT_EQ(helper("install --user nobody-here"), 1);
    EXPECT_NE(err.find("no such user: nobody-here"), std::string::npos) << err;
    EXPECT_EQ(helper("install alice"), 2);
    EXPECT_NE(err.find("usage:"), std::string::npos);

    struct Case {
        const char* name;
        std::function<void()> spoil, mend;
        const char* complaint;
    };
    for (const Case& c : {
             Case{"group-writable stack", [&] { chmod((pam / "i3lock").c_str(), 0664); },
                  [&] { chmod((pam / "i3lock").c_str(), 0644); }, "writable by group or others"},
             Case{"group-writable folder", [&] { chmod(pam.c_str(), 0775); },
                  [&] { chmod(pam.c_str(), 0755); }, "/etc/pam.d is writable by group or others"},
             Case{"hard link", [&] { fs::create_hard_link(pam / "i3lock", pam / "shadow"); },
                  [&] { fs::remove(pam / "shadow"); }, "has other hard links"},
             Case{"symlink",
                  [&] {
                      fs::rename(pam / "i3lock", pam / "real");
                      fs::create_symlink(pam / "real", pam / "i3lock");
                  },
                  [&] { fs::rename(pam / "real", pam / "i3lock"); }, "is a symlink"},
         }) {
        SCOPED_TRACE(c.name);
        c.spoil();
        EXPECT_EQ(helper("install --user alice"), 1);
        EXPECT_NE(err.find(c.complaint), std::string::npos) << err;
        c.mend();
        EXPECT_EQ(sb::readFile(pam / "i3lock"), i3lockStack);
        EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack) << "none is half done";
    }

    // Only lock screens' stacks are ever touched.
    fs::remove(pam / "i3lock");
    fs::remove(pam / "gdm-password");
    EXPECT_EQ(helper("install --user alice"), 1);
    EXPECT_NE(err.find("no lock screen PAM stack found"), std::string::npos) << err;
    for (auto name : {"login", "sudo", "common-auth"})
        EXPECT_EQ(sb::readFile(pam / name), otherStack) << name;
}

// Exactly the temporary names the helper makes go; an administrator's
// files beside the stacks stay, whatever they are called.
TEST_F(TarvoHelperTest, TemporaryFilesOfAKilledRunAreRemoved) {
    write(".i3lock.tarvo-new-Ab12Cd", "half a stack");
    for (auto name : {"gdm-password.tarvo-backup", "i3lock.tarvo-Ab12Cd", ".i3lock.tarvo-new-x",
                      ".login.tarvo-new-Ab12Cd"})
        write(name, "not ours");
    ASSERT_EQ(helper("uninstall --user alice"), 0) << err;
    EXPECT_FALSE(fs::exists(pam / ".i3lock.tarvo-new-Ab12Cd"));
    for (auto name : {"gdm-password.tarvo-backup", "i3lock.tarvo-Ab12Cd", ".i3lock.tarvo-new-x",
                      ".login.tarvo-new-Ab12Cd"})
        EXPECT_EQ(sb::readFile(pam / name), "not ours") << name;
}

// Plasma 6 ships its stack in /usr/lib/pam.d only: the wiring is a copy of
// it in /etc/pam.d (which libpam reads first), made again from a newer
// package's stack, and gone at removal, the package's file untouched.
TEST_F(TarvoHelperTest, APackagesOwnStackIsWiredInACopyThatGoesWithIt) {
    const fs::path vendor = "/usr/lib/pam.d/kde";
    const std::string kde = "#%PAM-1.0\nauth include common-auth\naccount include common-account\n";
    std::ofstream(vendor) << kde;
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    const std::string header = "# Written by tarvo-helper from /usr/lib/pam.d/kde with face unlock "
                               "wired; removed when face unlock is turned off. Check: ";
    auto copy = [&] {
        auto text = sb::readFile(pam / "kde");
        EXPECT_EQ(text.rfind(header, 0), 0u) << text;
        return text.substr(text.find('\n') + 1);
    };
    EXPECT_EQ(copy(), "#%PAM-1.0\n" + ours + kde.substr(10));
    EXPECT_EQ(sb::modeOf(pam / "kde"), 0644u);

    std::ofstream(vendor) << "auth include common-auth\n";
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    EXPECT_EQ(copy(), ours + "auth include common-auth\n");

    ASSERT_EQ(helper("uninstall --user alice"), 0) << err;
    EXPECT_FALSE(fs::exists(pam / "kde"));
    EXPECT_EQ(sb::readFile(vendor), "auth include common-auth\n");
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack);

    // An administrator's edit makes the copy theirs: wired and unwired
    // line by line, never rewritten from the package's nor removed.
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    const std::string faillock = "auth required pam_faillock.so preauth\n";
    std::ofstream(pam / "kde", std::ios::app) << faillock;
    auto edited = sb::readFile(pam / "kde");
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "kde"), edited);
    EXPECT_NE(err.find("/etc/pam.d/kde was changed since"), std::string::npos) << err;
    ASSERT_EQ(helper("uninstall --user alice"), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "kde"), tarvo::StackEdit::unwire(edited));
    fs::remove(pam / "kde");

    // Plasma removed since: its copy goes, the rest is wired as ever.
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    fs::remove(vendor);
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    EXPECT_FALSE(fs::exists(pam / "kde"));
    EXPECT_NE(sb::readFile(pam / "gdm-password"), gdmStack);
}

// A stack that is a symbolic link was never edited, so removal passes it
// over instead of failing (dpkg would stop the package's removal).
TEST_F(TarvoHelperTest, RemovalPassesOverASymlinkedStack) {
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    fs::create_symlink("i3lock", pam / "swaylock");
    EXPECT_EQ(helper("remove-module"), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "i3lock"), i3lockStack);
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack);
    EXPECT_TRUE(fs::is_symlink(pam / "swaylock"));
    EXPECT_FALSE(fs::exists(tarvo::LockScreen::module));
}

// Every way the module reaches its place leaves a new file there: a lock
// screen that has the old one loaded keeps it whole (rewriting a mapped
// module crashes the locker at its next call).
TEST_F(TarvoHelperTest, TheModuleIsReplacedNeverRewritten) {
    auto mapped = [] {
        struct Mapped {
            tarvo::UniqueFd fd;
            void* at = MAP_FAILED;
            size_t size = 0;
            ino_t inode = 0;
            std::string bytes() const { return {static_cast<const char*>(at), size}; }
            ~Mapped() {
                if (at != MAP_FAILED) munmap(at, size);
            }
        };
        auto m = std::make_unique<Mapped>();
        m->fd.reset(open(tarvo::LockScreen::module, O_RDONLY | O_CLOEXEC));
        struct stat st {};
        fstat(m->fd.get(), &st);
        m->size = size_t(st.st_size);
        m->inode = st.st_ino;
        m->at = mmap(nullptr, m->size, PROT_READ, MAP_PRIVATE, m->fd.get(), 0);
        return m;
    };
    auto inodeNow = [] {
        struct stat st {};
        stat(tarvo::LockScreen::module, &st);
        return st.st_ino;
    };
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    for (const char* again : {"install --user alice", "update-module"}) {
        SCOPED_TRACE(again);
        auto loaded = mapped();
        ASSERT_NE(loaded->at, MAP_FAILED);
        auto before = loaded->bytes();
        ASSERT_EQ(helper(again), 0) << err;
        EXPECT_NE(inodeNow(), loaded->inode) << "a new file at the module's path";
        EXPECT_EQ(loaded->bytes(), before) << "the loaded one untouched";
    }
    // The package's upgrade runs its postinst, which asks the helper.
    auto loaded = mapped();
    auto postinst = sb::readFile(std::string(sb::tree::source) + "/packaging/postinst");
    ASSERT_NE(postinst.find("/opt/tarvo-app/libexec/tarvo-helper update-module"),
              std::string::npos);
    fs::create_directories("/opt/tarvo-app/libexec");
    fs::copy_file(sb::tree::helper, "/opt/tarvo-app/libexec/tarvo-helper");
    fs::copy_file(fs::path(sb::tree::helper).parent_path() / "pam_tarvo.so",
                  "/opt/tarvo-app/libexec/pam_tarvo.so");
    EXPECT_EQ(
        sb::run("sh " + std::string(sb::tree::source) + "/packaging/postinst configure").status, 0);
    EXPECT_NE(inodeNow(), loaded->inode);
}

// Purge removes exactly what the install wrote, from an installation only
// root can change, and refuses a manifest that names anything else.
TEST_F(TarvoHelperTest, PurgeRemovesExactlyWhatTheInstallWrote) {
    auto install = [](const fs::path& app, const std::string& extra = "") {
        fs::create_directories(app / "libexec");
        fs::create_directories(app / "share/tarvo");
        fs::copy_file(sb::tree::helper, app / "libexec/tarvo-helper",
                      fs::copy_options::overwrite_existing);
        std::ofstream(app / "share/tarvo/FaceEmbedding.tflite") << "model";
        std::ofstream(app / "share/tarvo/install-manifest.txt")
            << (app / "libexec/tarvo-helper").string() << "\n"
            << (app / "share/tarvo/FaceEmbedding.tflite").string() << "\n/etc/pam.d/tarvo\n"
            << extra;
        return quote((app / "libexec/tarvo-helper").string()) + " purge --user alice --app ";
    };
    write("tarvo", otherStack);
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    fs::create_directories("/opt/tarvo/lib");
    std::ofstream("/opt/tarvo/lib/pam_tarvo.so") << "module";

    // Someone else's prefix holding our installation among other things.
    auto prefix = fs::path("/opt/Team's Apps");
    auto purge = install(prefix);
    std::ofstream(prefix / "theirs") << "not ours";
    EXPECT_EQ(std::system((purge + quote("/opt")).c_str()) >> 8, 1) << "not its installation";
    EXPECT_EQ(std::system((purge + quote(prefix.string())).c_str()), 0);
    EXPECT_EQ(sb::readFile(prefix / "theirs"), "not ours") << "only what the install wrote";
    EXPECT_FALSE(fs::exists(prefix / "libexec"));
    EXPECT_FALSE(fs::exists(prefix / "share"));
    EXPECT_FALSE(fs::exists(pam / "tarvo"));
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack) << "unwired first";
    EXPECT_FALSE(fs::exists("/opt/tarvo")) << "the module copy goes too";

    // A wrong installation is refused before any stack is unwired.
    ASSERT_EQ(helper("install --user alice"), 0) << err;
    auto wired = sb::readFile(pam / "gdm-password");
    auto app = fs::path("/opt/tarvo-app");
    purge = install(app);
    EXPECT_EQ(std::system((purge + quote("/opt")).c_str()) >> 8, 1);
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), wired) << "checked first, then acted";

    // An entry beneath a link inside the installation leads out of it.
    fs::create_directories("/opt/elsewhere");
    std::ofstream("/opt/elsewhere/FaceEmbedding.tflite") << "someone's";
    fs::remove_all(app / "share/tarvo/models");
    fs::create_directory_symlink("/opt/elsewhere", app / "share/tarvo/models");
    purge = install(app, (app / "share/tarvo/models/FaceEmbedding.tflite").string() + "\n");
    EXPECT_EQ(std::system((purge + quote(app.string())).c_str()) >> 8, 1);
    EXPECT_EQ(sb::readFile("/opt/elsewhere/FaceEmbedding.tflite"), "someone's");
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), wired);
    fs::remove(app / "share/tarvo/models");

    // A manifest naming anything outside: nothing is removed.
    purge = install(app, "/etc/pam.d/sudo\n");
    EXPECT_EQ(std::system((purge + quote(app.string())).c_str()) >> 8, 1);
    EXPECT_TRUE(fs::exists(app / "share/tarvo/FaceEmbedding.tflite"));
    EXPECT_EQ(sb::readFile(pam / "sudo"), otherStack);

    // An installation its user could change (a home's prefix): refused.
    auto home = sb::home("alice") / ".local";
    purge = install(home);
    EXPECT_EQ(std::system((purge + quote(home.string())).c_str()) >> 8, 1);
    EXPECT_TRUE(fs::exists(home / "share/tarvo/FaceEmbedding.tflite"));
}

// polkit pins the verb alone: under pkexec the helper acts for the user
// who asked and nobody else; root (directly or through sudo) for anyone.
TEST_F(TarvoHelperTest, UnderPkexecItActsOnlyForTheUserWhoAsked) {
    for (auto verb : {"install", "uninstall"}) {
        SCOPED_TRACE(verb);
        EXPECT_EQ(helperUnderPkexec(sb::aliceUid, {verb, "--user", "bob"}), 1);
        EXPECT_NE(err.find("alice may act only for alice, not for bob"), std::string::npos) << err;
        EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack);
    }
    EXPECT_EQ(helperUnderPkexec(sb::aliceUid, {"install", "--user", "alice"}), 0) << err;
    EXPECT_NE(sb::readFile(pam / "gdm-password"), gdmStack);
    EXPECT_EQ(helperUnderPkexec(sb::aliceUid, {"uninstall", "--user", "alice"}), 0) << err;
    EXPECT_EQ(sb::readFile(pam / "gdm-password"), gdmStack);
    EXPECT_EQ(helper("install --user bob"), 0) << err;
}

TEST(StackEdit, TheLineGoesRightBeforeThePasswordCheck) {
    using tarvo::StackEdit::wire;
    EXPECT_EQ(wire("auth requisite pam_nologin.so\nauth [success=1 default=ignore] pam_unix.so "
                   "nullok\n",
                   "X"),
              "auth requisite pam_nologin.so\nX\nauth [success=1 default=ignore] pam_unix.so "
              "nullok\n");
    EXPECT_EQ(wire("auth substack system-login\n", "X"), "X\nauth substack system-login\n");
    EXPECT_EQ(wire("@include common-account\n-auth optional pam_gnome_keyring.so\n", "X"),
              "@include common-account\nX\n-auth optional pam_gnome_keyring.so\n")
        << "no password check: before the first auth line";
    EXPECT_EQ(wire("account required pam_unix.so\n", "X"), "account required pam_unix.so\nX\n");
}

} // namespace
