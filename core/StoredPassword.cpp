#include "core/StoredPassword.h"

#include "core/DataFile.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "platform/Crypto.h"
#include "platform/HardwareKey.h"
#include "platform/Keyring.h"
#include "platform/PasswordCheck.h"
#include "platform/UserDatabase.h"

#include <nlohmann/json.hpp>
#include <string.h>
#include <unistd.h>

namespace tarvo {
namespace {

namespace Crypto = platform::Crypto;
namespace HardwareKey = platform::HardwareKey;

constexpr std::string_view salt = "tarvo-password"; // 14 bytes, fixed for ever

// Shared secrets and derived keys are wiped however the scope is left.
template <typename Bytes> struct Wiped {
    Bytes value{};
    ~Wiped() { explicit_bzero(value.data(), value.size()); }
};

struct Sealed {
    Crypto::Bytes key;
    Crypto::Point ephemeral{};
    Crypto::Bytes box;
};

std::string encode(const Sealed& sealed) {
    Crypto::Bytes ephemeral(sealed.ephemeral.begin(), sealed.ephemeral.end());
    nlohmann::ordered_json json = {{"key", Crypto::base64(sealed.key)},
                                   {"ephemeral", Crypto::base64(ephemeral)},
                                   {"box", Crypto::base64(sealed.box)}};
    return json.dump();
}

std::optional<Crypto::Bytes> field(const nlohmann::json& json, const char* key) {
    auto it = json.find(key);
    if (it == json.end() || !it->is_string()) return std::nullopt;
    return Crypto::unbase64(it->get_ref<const std::string&>());
}

std::optional<Sealed> decode(const std::string& text) {
    if (!Text::nestingWithin(text)) return std::nullopt;
    auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    auto key = field(json, "key"), ephemeral = field(json, "ephemeral"), box = field(json, "box");
    if (!key || !ephemeral || !box || ephemeral->size() != 64) return std::nullopt;
    Sealed sealed{std::move(*key), {}, std::move(*box)};
    std::copy(ephemeral->begin(), ephemeral->end(), sealed.ephemeral.begin());
    return sealed;
}

std::string currentUser() {
    return platform::userName(geteuid()).value_or("");
}

} // namespace

std::filesystem::path StoredPassword::file() {
    return Paths::dir() / "password.sealed";
}

void StoredPassword::save(const std::string& password) {
    auto verdict = check(password);
    if (verdict == platform::PasswordCheck::Verdict::wrong) throw Problem::wrongPassword();
    if (verdict != platform::PasswordCheck::Verdict::correct)
        throw Problem::couldNotSave("the password could not be checked");
    if (!HardwareKey::available()) throw Problem::noSecureEnclave();
    HardwareKey::Error error;
    auto key = HardwareKey::create(error);
    if (!key) throw error.noDevice ? Problem::noSecureEnclave() : Problem::couldNotSave(error.text);
    auto agreement = Crypto::agreeWithEphemeralKey(key->publicPoint);
    if (!agreement) throw Problem::couldNotSave("the key agreement failed");
    Wiped<Crypto::Secret> shared{agreement->shared};
    explicit_bzero(agreement->shared.data(), agreement->shared.size());
    auto symmetric = Crypto::hkdf(shared.value, salt);
    if (!symmetric) throw Problem::couldNotSave("the key derivation failed");
    Wiped<Crypto::Secret> aesKey{*symmetric};
    explicit_bzero(symmetric->data(), symmetric->size());
    auto box = Crypto::seal(aesKey.value, password);
    if (!box) throw Problem::couldNotSave("sealing failed");
    try {
        DataFile::write(file(), encode({std::move(key->blob), agreement->ephemeralPublic, *box}),
                        0600);
    } catch (const DataFile::WriteError& failure) {
        throw Problem::couldNotSave(failure.what());
    }
}

std::optional<std::string> StoredPassword::load() {
    auto text = DataFile::read(file());
    if (!text) return std::nullopt;
    auto sealed = decode(*text);
    if (!sealed) return std::nullopt;
    HardwareKey::Error error;
    auto shared = HardwareKey::sharedSecret(sealed->key, sealed->ephemeral, error);
    if (!shared) return std::nullopt;
    Wiped<Crypto::Secret> secret{*shared};
    explicit_bzero(shared->data(), shared->size());
    auto symmetric = Crypto::hkdf(secret.value, salt);
    if (!symmetric) return std::nullopt;
    Wiped<Crypto::Secret> aesKey{*symmetric};
    explicit_bzero(symmetric->data(), symmetric->size());
    auto password = Crypto::open(aesKey.value, sealed->box);
    if (!password) return std::nullopt;
    if (!Text::isValidUtf8(*password)) {
        explicit_bzero(password->data(), password->size());
        return std::nullopt;
    }
    return password;
}

bool StoredPassword::isStored() {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(file(), ignored));
}

platform::PasswordCheck::Verdict StoredPassword::check(const std::string& password) {
    std::string user = currentUser();
    if (user.empty()) return platform::PasswordCheck::Verdict::unknown;
    return platform::PasswordCheck::verify(user, password);
}

bool StoredPassword::isCorrect(const std::string& password) {
    return check(password) == platform::PasswordCheck::Verdict::correct;
}

void StoredPassword::clear() {
    std::error_code ignored;
    std::filesystem::remove(file(), ignored);
}

bool StoredPassword::unlockKeychain(const std::string& password) {
    if (LoginKeychain::isUnlocked()) return true;
    return platform::Keyring::unlock(password);
}

bool LoginKeychain::isUnlocked() {
    return platform::Keyring::loginState() != platform::Keyring::State::locked;
}

} // namespace tarvo
