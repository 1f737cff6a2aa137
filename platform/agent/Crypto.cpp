#include "platform/agent/Crypto.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace tarvo::platform::Crypto {
namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Free>;

constexpr size_t nonceSize = 12, tagSize = 16;

Owned<EVP_PKEY> publicKey(const Point& point) {
    std::uint8_t encoded[65] = {0x04};
    std::memcpy(encoded + 1, point.data(), point.size());
    char group[] = "P-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded),
        OSSL_PARAM_construct_end()};
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        return nullptr;
    // fromdata does not check that the point lies on the curve.
    Owned<EVP_PKEY> owned(key);
    Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
    return owned;
}

} // namespace

Result<Agreement> agreeWithEphemeralKey(const Point& peer) {
    Owned<EVP_PKEY> theirs = publicKey(peer);
    if (!theirs) return fail("the key's public point is not on the curve");
    Owned<EVP_PKEY> mine(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!mine) return fail("no ephemeral key could be made");
    Agreement agreement;
    std::uint8_t encoded[65];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(mine.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded,
                                        sizeof encoded, &length) != 1 ||
        length != 65)
        return fail("the ephemeral key could not be encoded");
    std::memcpy(agreement.ephemeralPublic.data(), encoded + 1, 64);
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, mine.get(), nullptr));
    size_t secretLength = agreement.shared.size();
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 ||
        EVP_PKEY_derive_set_peer(ctx.get(), theirs.get()) <= 0 ||
        EVP_PKEY_derive(ctx.get(), agreement.shared.data(), &secretLength) <= 0 ||
        secretLength != agreement.shared.size())
        return fail("the key agreement failed");
    return {agreement};
}

Result<Secret> hkdf(const Secret& input, std::string_view salt) {
    Owned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    Owned<EVP_KDF_CTX> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) return fail("HKDF is not available");
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                          const_cast<std::uint8_t*>(input.data()), input.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()),
                                          salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, nullptr, 0),
        OSSL_PARAM_construct_end()};
    Secret out;
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1)
        return fail("the key derivation failed");
    return {out};
}

Result<Bytes> seal(const Secret& key, std::string_view plaintext) {
    Bytes box(nonceSize + plaintext.size() + tagSize);
    if (RAND_bytes(box.data(), nonceSize) != 1) return fail("no random nonce could be drawn");
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), box.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), box.data() + nonceSize, &length,
                          reinterpret_cast<const unsigned char*>(plaintext.data()),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), box.data() + nonceSize + length, &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tagSize,
                            box.data() + nonceSize + plaintext.size()) != 1)
        return fail("sealing failed");
    return {std::move(box)};
}

Result<std::string> open(const Secret& key, const Bytes& box) {
    if (box.size() < nonceSize + tagSize) return fail("the sealed box is too short");
    size_t textSize = box.size() - nonceSize - tagSize;
    std::string plaintext(textSize, '\0');
    Bytes tag(box.end() - tagSize, box.end());
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    bool ok =
        ctx &&
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), box.data()) == 1 &&
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &length,
                          box.data() + nonceSize, static_cast<int>(textSize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), nullptr, &length) == 1;
    if (!ok) {
        OPENSSL_cleanse(plaintext.data(), plaintext.size());
        return fail("the sealed box failed authentication");
    }
    return {std::move(plaintext)};
}

std::string base64(const Bytes& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::optional<Bytes> unbase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=')
        ++pad;
    for (char c : text.substr(0, text.size() - pad))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/')
            return std::nullopt;
    Bytes bytes(text.size() / 4 * 3);
    int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0) return std::nullopt;
    // EVP_DecodeBlock counts padding as zero bytes.
    bytes.resize(static_cast<size_t>(length) - pad);
    return bytes;
}

} // namespace tarvo::platform::Crypto
