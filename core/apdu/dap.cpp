#include "core/apdu/dap.h"

#include "core/base/error.h"
#include "core/base/hex.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <optional>

namespace tolvane::apdu {

struct DapSigner::Key {
    EVP_PKEY* pkey = nullptr;
    std::vector<std::uint8_t> aes;
    std::size_t coordinate = 0; // bytes of r and of s, for ECDSA
    const EVP_MD* digest = nullptr;
    bool pss = false;
    ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

[[noreturn]] void refuseKey(const std::string& path, const std::string& detail)
{
    throw Error(ErrorKind::CannotOpen, path, "It is no DAP key this tool signs with: " + detail);
}

std::string openSslText()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The PEM callback that answers every passphrase prompt with none.
int noPassphrase(char*, int, int, void*)
{
    return 0;
}

} // namespace

DapSigner::~DapSigner() = default;
DapSigner::DapSigner(DapSigner&&) noexcept = default;
DapSigner& DapSigner::operator=(DapSigner&&) noexcept = default;

DapSigner DapSigner::load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Error(ErrorKind::CannotOpen, path, "The DAP key cannot be read");
    std::string text;
    char buffer[4096];
    while (text.size() < 65536 && in.read(buffer, sizeof buffer).gcount() > 0)
        text.append(buffer, static_cast<std::size_t>(in.gcount()));

    DapSigner signer;
    signer.path_ = path;
    signer.key_ = std::make_unique<Key>();
    Key& key = *signer.key_;
    if (text.find("-----BEGIN") == std::string::npos) {
        const auto aes = bytesFromHex(text, HexSpaces::Ignored);
        if (!aes || (aes->size() != 16 && aes->size() != 24 && aes->size() != 32))
            refuseKey(path, "neither a PEM private key nor an AES key of 16, 24 or 32 bytes in hex");
        key.aes = *aes;
        signer.algorithm_ = "aes-cmac";
        return signer;
    }
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    key.pkey = bio == nullptr ? nullptr : PEM_read_bio_PrivateKey(bio, nullptr, noPassphrase, nullptr);
    BIO_free(bio);
    if (key.pkey == nullptr)
        refuseKey(path, "its PEM private key cannot be read (" + openSslText() + ")");
    const int bits = EVP_PKEY_get_bits(key.pkey);
    if (EVP_PKEY_get_base_id(key.pkey) == EVP_PKEY_RSA) {
        if (bits < 1024)
            refuseKey(path, "an RSA key of " + std::to_string(bits) + " bits, shorter than 1024");
        key.pss = bits > 1024;
        key.digest = bits > 1024 ? EVP_sha256() : EVP_sha1();
        signer.algorithm_ = bits > 1024 ? "rsa-pss-sha256" : "rsa-pkcs1-sha1";
    } else if (EVP_PKEY_get_base_id(key.pkey) == EVP_PKEY_EC) {
        char group[64] = {};
        std::size_t length = 0;
        EVP_PKEY_get_utf8_string_param(key.pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length);
        const std::string name(group);
        if (name == "prime256v1" || name == "P-256") {
            key.digest = EVP_sha256(), key.coordinate = 32, signer.algorithm_ = "ecdsa-p256-sha256";
        } else if (name == "secp384r1" || name == "P-384") {
            key.digest = EVP_sha384(), key.coordinate = 48, signer.algorithm_ = "ecdsa-p384-sha384";
        } else {
            refuseKey(path, "an EC key on the curve " + (name.empty() ? std::string("(unnamed)") : name) +
                                ", neither P-256 nor P-384");
        }
    } else {
        refuseKey(path, "a private key of a kind other than RSA and EC");
    }
    return signer;
}

std::vector<std::uint8_t> DapSigner::sign(const std::vector<std::uint8_t>& hash) const
{
    const Key& key = *key_;
    const auto failed = [this] {
        throw Error(ErrorKind::CannotOpen, path_, "The DAP key did not sign: " + openSslText());
    };
    std::vector<std::uint8_t> signature;
    if (!key.aes.empty()) {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
        EVP_MAC_CTX* context = mac == nullptr ? nullptr : EVP_MAC_CTX_new(mac);
        const char* cipher = key.aes.size() == 16   ? "AES-128-CBC"
                             : key.aes.size() == 24 ? "AES-192-CBC"
                                                    : "AES-256-CBC";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(cipher), 0),
                               OSSL_PARAM_construct_end()};
        signature.resize(16);
        std::size_t length = 0;
        const bool done = context != nullptr && EVP_MAC_init(context, key.aes.data(), key.aes.size(), params) == 1 &&
                          EVP_MAC_update(context, hash.data(), hash.size()) == 1 &&
                          EVP_MAC_final(context, signature.data(), &length, signature.size()) == 1;
        EVP_MAC_CTX_free(context);
        EVP_MAC_free(mac);
        if (!done)
            failed();
        signature.resize(length);
        return signature;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pkeyContext = nullptr;
    std::size_t length = 0;
    bool done = context != nullptr && EVP_DigestSignInit(context, &pkeyContext, key.digest, nullptr, key.pkey) == 1;
    if (done && key.pss)
        done = EVP_PKEY_CTX_set_rsa_padding(pkeyContext, RSA_PKCS1_PSS_PADDING) == 1 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md(pkeyContext, EVP_sha256()) == 1 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(pkeyContext, 32) == 1;
    else if (done && EVP_PKEY_get_base_id(key.pkey) == EVP_PKEY_RSA)
        done = EVP_PKEY_CTX_set_rsa_padding(pkeyContext, RSA_PKCS1_PADDING) == 1;
    done = done && EVP_DigestSign(context, nullptr, &length, hash.data(), hash.size()) == 1;
    signature.resize(length);
    done = done && EVP_DigestSign(context, signature.data(), &length, hash.data(), hash.size()) == 1;
    EVP_MD_CTX_free(context);
    if (!done)
        failed();
    signature.resize(length);
    if (key.coordinate == 0)
        return signature;
    // ECDSA gives DER; a card takes r then s, each at the curve's length.
    const unsigned char* der = signature.data();
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size()));
    if (parsed == nullptr)
        failed();
    std::vector<std::uint8_t> plain(2 * key.coordinate);
    const int r = BN_bn2binpad(ECDSA_SIG_get0_r(parsed), plain.data(), static_cast<int>(key.coordinate));
    const int s =
        BN_bn2binpad(ECDSA_SIG_get0_s(parsed), plain.data() + key.coordinate, static_cast<int>(key.coordinate));
    ECDSA_SIG_free(parsed);
    if (r < 0 || s < 0)
        failed();
    return plain;
}

} // namespace tolvane::apdu
