#include "core/agent/StoredPassword.h"

#include "core/base/Text.h"
#include "core/store/DataFile.h"
#include "core/store/Paths.h"
#include "platform/agent/Crypto.h"
#include "platform/agent/HardwareKey.h"
#include "platform/agent/Keyring.h"
#include "platform/agent/PasswordCheck.h"
#include "platform/store/UserDatabase.h"

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

} // namespace

std::optional<StoredPassword::Problem> StoredPassword::tpmProblem() {
    auto tpm = HardwareKey::availability();
    switch (tpm.kind) {
    case HardwareKey::Availability::Kind::ready:
        return std::nullopt;
    case HardwareKey::Availability::Kind::noDevice:
        return Problem::noTpm();
    case HardwareKey::Availability::Kind::notAllowed:
        return Problem::tpmNotAllowed(tpm.device);
    case HardwareKey::Availability::Kind::unreachable:
        break;
    }
    return Problem::couldNotSave("the TPM did not answer (" + tpm.text + ")");
}

std::filesystem::path StoredPassword::file() {
    return Paths::dir() / "password.sealed";
}

void StoredPassword::save(const std::string& password) {
    bool correct = false;
    try {
        correct = isCorrect(password);
    } catch (const Problem& unchecked) {
        throw Problem::couldNotSave(unchecked.what());
    }
    if (!correct) throw Problem::wrongPassword();
    if (auto problem = tpmProblem()) throw *problem;
    auto key = HardwareKey::create();
    if (!key)
        throw key.error().noDevice ? Problem::noTpm() : Problem::couldNotSave(key.error().text);
    auto agreement = Crypto::agreeWithEphemeralKey(key->publicPoint);
    if (!agreement) throw Problem::couldNotSave(agreement.error().text);
    Wiped<Crypto::Secret> shared{agreement->shared};
    explicit_bzero(agreement->shared.data(), agreement->shared.size());
    auto symmetric = Crypto::hkdf(shared.value, salt);
    if (!symmetric) throw Problem::couldNotSave(symmetric.error().text);
    Wiped<Crypto::Secret> aesKey{*symmetric};
    explicit_bzero(symmetric->data(), symmetric->size());
    auto box = Crypto::seal(aesKey.value, password);
    if (!box) throw Problem::couldNotSave(box.error().text);
    try {
        if (state() == Damage::State::damaged) Damage::setAside(file());
        DataFile::writeOwn(file(),
                           encode({std::move(key->blob), agreement->ephemeralPublic, *box}));
    } catch (const DataFile::FileError& failure) {
        throw Problem::couldNotSave(failure.what());
    }
}

std::optional<std::string> StoredPassword::load() {
    std::optional<std::string> text;
    try {
        text = DataFile::readOwn(file());
    } catch (const DataFile::FileError& unsafe) {
        throw Problem::cannotOpen(unsafe.what());
    }
    if (!text) {
        if (Damage::present(file())) throw Problem::damaged();
        return std::nullopt;
    }
    auto sealed = decode(*text);
    if (!sealed) throw Problem::damaged();
    auto shared = HardwareKey::sharedSecret(sealed->key, sealed->ephemeral);
    if (!shared) throw Problem::cannotOpen(shared.error().text);
    Wiped<Crypto::Secret> secret{*shared};
    explicit_bzero(shared->data(), shared->size());
    auto symmetric = Crypto::hkdf(secret.value, salt);
    if (!symmetric) throw Problem::cannotOpen(symmetric.error().text);
    Wiped<Crypto::Secret> aesKey{*symmetric};
    explicit_bzero(symmetric->data(), symmetric->size());
    auto password = Crypto::open(aesKey.value, sealed->box);
    if (!password) throw Problem::cannotOpen(password.error().text);
    if (!Text::isValidUtf8(*password)) {
        explicit_bzero(password->data(), password->size());
        throw Problem::cannotOpen("the password inside is not text");
    }
    return std::move(*password);
}

bool StoredPassword::isStored() {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(file(), ignored));
}

Damage::State StoredPassword::state() {
    std::optional<std::string> text;
    try {
        text = DataFile::readOwn(file());
    } catch (const DataFile::FileError&) {
        // Not the user's own: load says why; it is no damage to set aside.
        return Damage::State::readable;
    }
    if (!text) return Damage::present(file()) ? Damage::State::damaged : Damage::State::missing;
    return decode(*text) ? Damage::State::readable : Damage::State::damaged;
}

bool StoredPassword::isCorrect(const std::string& password) {
    auto user = platform::userName(geteuid());
    if (!user) throw Problem::cannotCheck(user.error().text);
    auto verdict = platform::PasswordCheck::verify(*user, password);
    if (!verdict) throw Problem::cannotCheck(verdict.error().text);
    return *verdict == platform::PasswordCheck::Verdict::correct;
}

void StoredPassword::clear() {
    std::error_code ignored;
    std::filesystem::remove(file(), ignored);
}

void StoredPassword::unlockKeyring(const std::string& password) {
    if (LoginKeyring::isUnlocked()) return;
    if (auto unlocked = platform::Keyring::unlock(password); !unlocked)
        throw Problem::keyringLocked(unlocked.error().text);
}

bool LoginKeyring::isUnlocked() {
    return platform::Keyring::loginState() != platform::Keyring::State::locked;
}

} // namespace tarvo
