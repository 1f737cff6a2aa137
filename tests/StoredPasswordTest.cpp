#include "core/StoredPassword.h"

#include "core/Paths.h"
#include "platform/Crypto.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

namespace sb = tarvo::sandbox;
namespace StoredPassword = tarvo::StoredPassword;
using Problem = StoredPassword::Problem;

namespace {

constexpr const char* rootPassword = "h\xC3\xA4mmer hunter2";
constexpr const char* alicePassword = "alice's secret";

std::string readFile(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

Problem::Kind saveFails(const std::string& password) {
    try {
        StoredPassword::save(password);
    } catch (const Problem& problem) {
        return problem.kind();
    }
    ADD_FAILURE() << "save succeeded";
    return Problem::Kind::couldNotSave;
}

// Passwords are checked by PAM against a password database of the test's
// own (pam_matrix); the TPM is swtpm.
class StoredPasswordTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        sb::PamStack::usePasswordCheck({{"root", rootPassword}, {"alice", alicePassword}});
        tpm = new sb::SoftwareTpm();
    }
    static void TearDownTestSuite() { delete tpm; }
    void SetUp() override {
        tpm->use();
        StoredPassword::clear();
    }

    static sb::SoftwareTpm* tpm;
};
sb::SoftwareTpm* StoredPasswordTest::tpm = nullptr;

TEST_F(StoredPasswordTest, SealsAndOpensOnThisTpm) {
    EXPECT_TRUE(StoredPassword::isCorrect(rootPassword));
    EXPECT_FALSE(StoredPassword::isCorrect("guess"));
    ::umask(0);
    StoredPassword::save(rootPassword);
    ::umask(022);
    struct stat st {};
    ASSERT_EQ(stat(StoredPassword::file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(StoredPassword::isStored());
    EXPECT_EQ(StoredPassword::load(), rootPassword);

    auto json = nlohmann::json::parse(readFile(StoredPassword::file()));
    std::string text = readFile(StoredPassword::file());
    EXPECT_LT(text.find("\"key\""), text.find("\"ephemeral\""));
    EXPECT_LT(text.find("\"ephemeral\""), text.find("\"box\""));
    EXPECT_EQ(text.find('\n'), std::string::npos) << "compact";
    EXPECT_EQ(json["ephemeral"].get<std::string>().size(), 88u) << "64 bytes in Base64";
    EXPECT_EQ(json["box"].get<std::string>().size(), 4 * ((12 + 16 + 16 + 2) / 3))
        << "nonce, 16 UTF-8 bytes, tag";
    EXPECT_EQ(text.find(rootPassword), std::string::npos);
}

TEST_F(StoredPasswordTest, WrongPasswordLeavesTheStoredOneAlone) {
    StoredPassword::save(rootPassword);
    std::string before = readFile(StoredPassword::file());
    EXPECT_EQ(saveFails("not it"), Problem::Kind::wrongPassword);
    EXPECT_EQ(saveFails(""), Problem::Kind::wrongPassword);
    EXPECT_EQ(readFile(StoredPassword::file()), before);
    EXPECT_STREQ(Problem::wrongPassword().what(),
                 "That isn't the login password of this computer.");
}

TEST_F(StoredPasswordTest, AnyAlterationOpensToNothing) {
    StoredPassword::save(rootPassword);
    std::string original = readFile(StoredPassword::file());
    auto sealed = nlohmann::ordered_json::parse(original);
    auto write = [](const nlohmann::ordered_json& json) {
        std::ofstream(StoredPassword::file(), std::ios::trunc) << json.dump();
    };
    // One byte of the box changed, wherever it is: nonce, ciphertext or tag.
    auto box = *tarvo::platform::Crypto::unbase64(sealed["box"].get<std::string>());
    for (size_t i = 0; i < box.size(); ++i) {
        auto altered = sealed;
        auto changed = box;
        changed[i] ^= 0x01;
        altered["box"] = tarvo::platform::Crypto::base64(changed);
        write(altered);
        EXPECT_EQ(StoredPassword::load(), std::nullopt) << "box byte " << i;
    }
    for (const char* key : {"key", "ephemeral", "box"}) {
        auto missing = sealed;
        missing.erase(key);
        write(missing);
        EXPECT_EQ(StoredPassword::load(), std::nullopt) << key;
        EXPECT_TRUE(StoredPassword::isStored());
    }
    auto notBase64 = sealed;
    notBase64["ephemeral"] = "not base64!";
    write(notBase64);
    EXPECT_EQ(StoredPassword::load(), std::nullopt);
    std::ofstream(StoredPassword::file(), std::ios::trunc) << original.substr(0, 40);
    EXPECT_EQ(StoredPassword::load(), std::nullopt);
    std::ofstream(StoredPassword::file(), std::ios::trunc) << original;
    EXPECT_EQ(StoredPassword::load(), rootPassword);
}

TEST_F(StoredPasswordTest, AnotherMachinesTpmCannotOpenIt) {
    StoredPassword::save(rootPassword);
    sb::SoftwareTpm other;
    other.use();
    EXPECT_EQ(StoredPassword::load(), std::nullopt);
    tpm->use();
    EXPECT_EQ(StoredPassword::load(), rootPassword);
}

TEST_F(StoredPasswordTest, NoTpmMeansNoSecureEnclave) {
    ::setenv("TCTI", "swtpm:host=127.0.0.1,port=1", 1);
    EXPECT_EQ(saveFails(rootPassword), Problem::Kind::noSecureEnclave);
    EXPECT_FALSE(StoredPassword::isStored());
    EXPECT_STREQ(Problem::noSecureEnclave().what(),
                 "This computer has no TPM to protect the password with.");
}

TEST_F(StoredPasswordTest, FailedWriteThrowsAndKeepsTheOlderFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a test user";
    auto folder = sb::dataFolder("alice", sb::aliceUid);
    auto sealed = folder / "password.sealed";
    std::ofstream(sealed) << "older";
    chown(sealed.c_str(), sb::aliceUid, sb::aliceUid);
    chmod(folder.c_str(), 0500);
    int status = sb::runAs(sb::aliceUid, [] {
        try {
            StoredPassword::save(alicePassword);
        } catch (const Problem& problem) {
            std::string text = problem.what();
            bool named = text.rfind("Tarvo couldn't save the password: ", 0) == 0;
            return problem.kind() == Problem::Kind::couldNotSave && named ? 0 : 2;
        }
        return 1;
    });
    chmod(folder.c_str(), 0700);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(sealed), "older");
}

TEST_F(StoredPasswordTest, ClearIsQuietAndFinal) {
    StoredPassword::save(rootPassword);
    StoredPassword::clear();
    EXPECT_FALSE(StoredPassword::isStored());
    EXPECT_EQ(StoredPassword::load(), std::nullopt);
    StoredPassword::clear();
}

// The login keyring: gnome-keyring-daemon on a private session bus.
class LoginKeychainTest : public testing::Test {
  protected:
    sb::SessionBus bus;
};

TEST_F(LoginKeychainTest, NoKeyringIsNothingToUnlock) {
    EXPECT_TRUE(tarvo::LoginKeychain::isUnlocked());
    EXPECT_TRUE(StoredPassword::unlockKeychain("anything"));
}

TEST_F(LoginKeychainTest, UnlocksWithTheRightPasswordOnly) {
    sb::KeyringDaemon keyring("login password");
    EXPECT_TRUE(tarvo::LoginKeychain::isUnlocked());
    EXPECT_TRUE(StoredPassword::unlockKeychain("wrong")) << "already unlocked";
    keyring.lock();
    EXPECT_FALSE(tarvo::LoginKeychain::isUnlocked());
    EXPECT_FALSE(StoredPassword::unlockKeychain("wrong"));
    EXPECT_FALSE(tarvo::LoginKeychain::isUnlocked());
    EXPECT_TRUE(StoredPassword::unlockKeychain("login password"));
    EXPECT_TRUE(tarvo::LoginKeychain::isUnlocked());
}

} // namespace
