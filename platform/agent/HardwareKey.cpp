#include "platform/agent/HardwareKey.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

namespace tarvo::platform::HardwareKey {
namespace {

// tpm2-tss logs every failure it meets on standard error, a dozen lines for
// a missing TPM; the caller says what went wrong instead. Set before any
// thread runs, and never over the user's own choice.
[[maybe_unused]] const bool quiet = ::setenv("TSS2_LOG", "all+NONE", 0) == 0;

// One ESAPI context on one TCTI, released on every path.
class Tpm {
  public:
    explicit Tpm(Error& error) {
        const char* conf = std::getenv("TPM2TOOLS_TCTI");
        if (!conf) conf = std::getenv("TCTI");
        if (Tss2_TctiLdr_Initialize(conf, &tcti_) != TSS2_RC_SUCCESS) {
            error = {true, "no TPM could be reached"};
            return;
        }
        if (TSS2_RC rc = Esys_Initialize(&esys_, tcti_, nullptr); rc != TSS2_RC_SUCCESS)
            error = {true, std::string("the TPM did not answer: ") + Tss2_RC_Decode(rc)};
    }
    ~Tpm() {
        for (ESYS_TR handle : loaded_)
            Esys_FlushContext(esys_, handle);
        if (esys_) Esys_Finalize(&esys_);
        if (tcti_) Tss2_TctiLdr_Finalize(&tcti_);
    }
    Tpm(const Tpm&) = delete;
    Tpm& operator=(const Tpm&) = delete;

    ESYS_CONTEXT* get() const { return esys_; }
    // Flushed from the TPM when this context ends.
    ESYS_TR track(ESYS_TR handle) {
        loaded_.push_back(handle);
        return handle;
    }

  private:
    TSS2_TCTI_CONTEXT* tcti_ = nullptr;
    ESYS_CONTEXT* esys_ = nullptr;
    std::vector<ESYS_TR> loaded_;
};

// Frees what ESAPI allocated for an output.
template <typename T> struct EsysFree {
    void operator()(T* p) const { Esys_Free(p); }
};
template <typename T> using EsysPtr = std::unique_ptr<T, EsysFree<T>>;

bool failed(TSS2_RC rc, const char* step, Error& error) {
    if (rc == TSS2_RC_SUCCESS) return false;
    error.text = std::string(step) + ": " + Tss2_RC_Decode(rc);
    return true;
}

TPM2B_PUBLIC eccTemplate(TPMA_OBJECT attributes, bool storage) {
    TPM2B_PUBLIC tmpl{};
    TPMT_PUBLIC& area = tmpl.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = attributes;
    TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    if (storage) {
        ecc.symmetric = {TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
        ecc.scheme.scheme = TPM2_ALG_NULL;
    } else {
        ecc.symmetric.algorithm = TPM2_ALG_NULL;
        ecc.scheme.scheme = TPM2_ALG_ECDH;
        ecc.scheme.details.ecdh.hashAlg = TPM2_ALG_SHA256;
    }
    return tmpl;
}

constexpr TPMA_OBJECT keyAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                                      TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH;

// The storage primary key: the same template gives the same key from the
// TPM's owner seed every time, so nothing is kept in the TPM between calls.
std::optional<ESYS_TR> primary(Tpm& tpm, Error& error) {
    TPM2B_PUBLIC tmpl =
        eccTemplate(keyAttributes | TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT, true);
    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_DATA outside{};
    TPML_PCR_SELECTION pcrs{};
    ESYS_TR handle = ESYS_TR_NONE;
    if (failed(Esys_CreatePrimary(tpm.get(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                  ESYS_TR_NONE, &sensitive, &tmpl, &outside, &pcrs, &handle,
                                  nullptr, nullptr, nullptr, nullptr),
               "creating the primary key", error))
        return std::nullopt;
    return tpm.track(handle);
}

template <typename T>
bool marshal(const T& value, TSS2_RC (*fn)(const T*, uint8_t[], size_t, size_t*),
             std::vector<std::uint8_t>& out) {
    std::uint8_t buffer[sizeof(T) + 16];
    size_t offset = 0;
    if (fn(&value, buffer, sizeof buffer, &offset) != TSS2_RC_SUCCESS) return false;
    out.insert(out.end(), buffer, buffer + offset);
    return true;
}

} // namespace

Availability availability() {
    bool configured = std::getenv("TPM2TOOLS_TCTI") || std::getenv("TCTI");
    if (!configured) {
        std::string device;
        for (const char* node : {"/dev/tpmrm0", "/dev/tpm0"})
            if (::access(node, F_OK) == 0) {
                device = node;
                break;
            }
        if (device.empty()) return {Availability::Kind::noDevice, {}, {}};
        if (::access(device.c_str(), R_OK | W_OK) != 0)
            return {Availability::Kind::notAllowed, device, {}};
    }
    Error error;
    Tpm tpm(error);
    if (error.text.empty()) return {Availability::Kind::ready, {}, {}};
    return {Availability::Kind::unreachable, {}, error.text};
}

namespace {

std::optional<Key> makeKey(Error& error) {
    Tpm tpm(error);
    if (!error.text.empty()) return std::nullopt;
    auto parent = primary(tpm, error);
    if (!parent) return std::nullopt;

    TPM2B_PUBLIC tmpl = eccTemplate(keyAttributes | TPMA_OBJECT_DECRYPT, false);
    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_DATA outside{};
    TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE* privateArea = nullptr;
    TPM2B_PUBLIC* publicArea = nullptr;
    TSS2_RC rc =
        Esys_Create(tpm.get(), *parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                    &tmpl, &outside, &pcrs, &privateArea, &publicArea, nullptr, nullptr, nullptr);
    EsysPtr<TPM2B_PRIVATE> ownedPrivate(privateArea);
    EsysPtr<TPM2B_PUBLIC> ownedPublic(publicArea);
    if (failed(rc, "creating the key", error)) return std::nullopt;

    Key key;
    if (!marshal(*privateArea, Tss2_MU_TPM2B_PRIVATE_Marshal, key.blob) ||
        !marshal(*publicArea, Tss2_MU_TPM2B_PUBLIC_Marshal, key.blob)) {
        error.text = "the TPM's key could not be stored";
        return std::nullopt;
    }
    const TPMS_ECC_POINT& point = publicArea->publicArea.unique.ecc;
    if (point.x.size != 32 || point.y.size != 32) {
        error.text = "the TPM returned a malformed public key";
        return std::nullopt;
    }
    std::memcpy(key.publicPoint.data(), point.x.buffer, 32);
    std::memcpy(key.publicPoint.data() + 32, point.y.buffer, 32);
    return key;
}

std::optional<Secret> agree(const std::vector<std::uint8_t>& blob, const Point& peerPoint,
                            Error& error) {
    TPM2B_PRIVATE privateArea{};
    TPM2B_PUBLIC publicArea{};
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PRIVATE_Unmarshal(blob.data(), blob.size(), &offset, &privateArea) !=
            TSS2_RC_SUCCESS ||
        Tss2_MU_TPM2B_PUBLIC_Unmarshal(blob.data(), blob.size(), &offset, &publicArea) !=
            TSS2_RC_SUCCESS ||
        offset != blob.size()) {
        error.text = "the stored key is malformed";
        return std::nullopt;
    }
    Tpm tpm(error);
    if (!error.text.empty()) return std::nullopt;
    auto parent = primary(tpm, error);
    if (!parent) return std::nullopt;
    ESYS_TR key = ESYS_TR_NONE;
    if (failed(Esys_Load(tpm.get(), *parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                         &privateArea, &publicArea, &key),
               "loading the key", error))
        return std::nullopt;
    tpm.track(key);

    TPM2B_ECC_POINT in{};
    in.point.x.size = 32;
    in.point.y.size = 32;
    std::memcpy(in.point.x.buffer, peerPoint.data(), 32);
    std::memcpy(in.point.y.buffer, peerPoint.data() + 32, 32);
    TPM2B_ECC_POINT* out = nullptr;
    TSS2_RC rc =
        Esys_ECDH_ZGen(tpm.get(), key, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &in, &out);
    EsysPtr<TPM2B_ECC_POINT> owned(out);
    if (failed(rc, "key agreement", error)) return std::nullopt;
    if (out->point.x.size != 32) {
        error.text = "the TPM returned a malformed shared secret";
        return std::nullopt;
    }
    std::optional<Secret> secret(std::in_place);
    std::memcpy(secret->data(), out->point.x.buffer, 32);
    explicit_bzero(out->point.x.buffer, sizeof out->point.x.buffer);
    return secret;
}

} // namespace

Result<Key, Error> create() {
    Error error;
    if (auto key = makeKey(error)) return {std::move(*key)};
    return {std::move(error)};
}

Result<Secret, Error> sharedSecret(const std::vector<std::uint8_t>& blob, const Point& peerPoint) {
    Error error;
    auto secret = agree(blob, peerPoint, error);
    if (!secret) return {std::move(error)};
    Result<Secret, Error> result{*secret};
    explicit_bzero(secret->data(), secret->size());
    return result;
}

} // namespace tarvo::platform::HardwareKey
