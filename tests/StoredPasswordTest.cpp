#include "core/agent/StoredPassword.h"

#include "core/store/Paths.h"
#include "platform/agent/Crypto.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace sb = tarvo::sandbox;
namespace StoredPassword = tarvo::StoredPassword;
using Problem = StoredPassword::Problem;

namespace {

constexpr const char* rootPassword = "h\xC3\xA4mmer hunter2";
constexpr const char* alicePassword = "alice's secret";

// The kind of problem `body` ran into; nothing when it ran into none.
std::optional<Problem::Kind> problemOf(const std::function<void()>& body) {
    auto problem = sb::thrown<Problem>(body);
    return problem ? std::optional(problem->kind()) : std::nullopt;
}
std::optional<Problem::Kind> saveFails(const std::string& password) {
    return problemOf([&] { StoredPassword::save(password); });
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

    static inline sb::SoftwareTpm* tpm = nullptr;
};

TEST_F(StoredPasswordTest, SealsOpensAndClearsOnThisTpm) {
    EXPECT_FALSE(StoredPassword::isCorrect("guess"));
    ::umask(0);
    StoredPassword::save(rootPassword);
    ::umask(022);
    EXPECT_EQ(sb::modeOf(StoredPassword::file()), 0600u);
    EXPECT_EQ(StoredPassword::load(), rootPassword);
    EXPECT_EQ(sb::readFile(StoredPassword::file()).find(rootPassword), std::string::npos);

    StoredPassword::clear();
    EXPECT_FALSE(StoredPassword::isStored());
    EXPECT_EQ(StoredPassword::load(), std::nullopt);
}

TEST_F(StoredPasswordTest, WrongPasswordLeavesTheStoredOneAlone) {
    StoredPassword::save(rootPassword);
    std::string before = sb::readFile(StoredPassword::file());
    EXPECT_EQ(saveFails("not it"), Problem::Kind::wrongPassword);
    EXPECT_EQ(saveFails(""), Problem::Kind::wrongPassword);
    EXPECT_EQ(sb::readFile(StoredPassword::file()), before);
}

TEST_F(StoredPasswordTest, AnyAlterationCannotBeOpened) {
    StoredPassword::save(rootPassword);
    std::string original = sb::readFile(StoredPassword::file());
    auto sealed = nlohmann::ordered_json::parse(original);
    auto write = [](const std::string& text) { sb::writeFile(StoredPassword::file(), text); };
    // A file that decodes but won't open is the TPM's word; one that
    // doesn't decode is damaged, and said so without the TPM.
    auto unopenable = [](const std::string& what, Problem::Kind kind = Problem::Kind::cannotOpen) {
        EXPECT_EQ(problemOf([] { StoredPassword::load(); }), kind) << what;
        EXPECT_EQ(StoredPassword::state(), kind == Problem::Kind::damaged
                                               ? tarvo::Damage::State::damaged
                                               : tarvo::Damage::State::readable)
            << what;
    };
    // One byte of the box changed, wherever it is: nonce, ciphertext or tag.
    auto box = *tarvo::platform::Crypto::unbase64(sealed["box"].get<std::string>());
    for (size_t i = 0; i < box.size(); ++i) {
        auto altered = sealed;
        auto changed = box;
        changed[i] ^= 0x01;
        altered["box"] = tarvo::platform::Crypto::base64(changed);
        write(altered.dump());
        unopenable("box byte " + std::to_string(i));
    }
    for (const char* key : {"key", "ephemeral", "box"}) {
        auto missing = sealed;
        missing.erase(key);
        write(missing.dump());
        unopenable(std::string("no ") + key, Problem::Kind::damaged);
    }
    auto notBase64 = sealed;
    notBase64["ephemeral"] = "not base64!";
    write(notBase64.dump());
    unopenable("not Base64", Problem::Kind::damaged);
    write(original.substr(0, 40));
    unopenable("cut short", Problem::Kind::damaged);
    EXPECT_STREQ(sb::thrown<Problem>([] { StoredPassword::load(); })->what(),
                 "The saved password can't be opened \xE2\x80\x94 enter it again");
    // Entering it again keeps the damaged file aside.
    StoredPassword::save(rootPassword);
    EXPECT_EQ(StoredPassword::load(), rootPassword);
    auto aside = sb::filesLike(StoredPassword::file());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(sb::readFile(aside[0]), original.substr(0, 40));
    std::filesystem::remove(aside[0]);
    write(original);
    EXPECT_EQ(StoredPassword::load(), rootPassword);

    sb::SoftwareTpm other;
    other.use();
    unopenable("another machine's TPM");
}

TEST_F(StoredPasswordTest, ATpmThatDoesNotAnswerKeepsNothing) {
    ::setenv("TCTI", "swtpm:host=127.0.0.1,port=1", 1);
    EXPECT_EQ(saveFails(rootPassword), Problem::Kind::couldNotSave);
    EXPECT_FALSE(StoredPassword::isStored());
}

TEST_F(StoredPasswordTest, FailedWriteThrowsAndKeepsTheOlderFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a test user";
    auto folder = sb::dataFolder("alice", sb::aliceUid);
    auto sealed = folder / "password.sealed";
    std::ofstream(sealed) << "older";
    sb::own(sealed, sb::aliceUid, sb::aliceUid);
    chmod(folder.c_str(), 0500);
    auto said = sb::outputAs(sb::aliceUid, [] {
        auto problem = sb::thrown<Problem>([] { StoredPassword::save(alicePassword); });
        return problem ? std::string(problem->what()) : "saved";
    });
    chmod(folder.c_str(), 0700);
    EXPECT_EQ(said.rfind("Tarvo couldn't save the password: ", 0), 0u) << said;
    EXPECT_EQ(sb::readFile(sealed), "older");
}

// The login keyring: gnome-keyring-daemon on a private session bus.
class LoginKeyringTest : public testing::Test {
  protected:
    sb::SessionBus bus;
};

TEST_F(LoginKeyringTest, UnlocksWithTheRightPasswordOnly) {
    EXPECT_TRUE(tarvo::LoginKeyring::isUnlocked()) << "no keyring: nothing to unlock";
    EXPECT_NO_THROW(StoredPassword::unlockKeyring("anything"));
    sb::KeyringDaemon keyring("login password");
    keyring.lock();
    EXPECT_FALSE(tarvo::LoginKeyring::isUnlocked());
    EXPECT_THROW(StoredPassword::unlockKeyring("wrong"), Problem);
    EXPECT_FALSE(tarvo::LoginKeyring::isUnlocked());
    EXPECT_NO_THROW(StoredPassword::unlockKeyring("login password"));
    EXPECT_TRUE(tarvo::LoginKeyring::isUnlocked());
}

} // namespace
