// Signature: the DES and AES CBC-MACs (ISO 9797 method 1 and 2 paddings,
// PKCS#5, the retail MAC of ISO 9797-1 algorithm 3), AES-CMAC, HMAC, RSA
// PKCS#1 v1.5 and PSS, and ECDSA with DER signatures; KeyAgreement ECDH in its
// plain, SHA-1 and XY forms; and Checksum's CRC16 and CRC32. The table of
// every cryptographic native is at the end.

#include "core/runtime/natives/crypto_support.h"

#include <openssl/ec.h>
#include <sys/random.h>

#include <algorithm>

namespace tolvane::runtime {
namespace {

using namespace crypto;

const char* const signatureClass = "javacard.security.Signature";
const char* const cipherClass = "javacardx.crypto.Cipher";

enum class Mac { Cbc, Retail, Cmac, Hmac, RsaPkcs1, RsaPss, Ecdsa };

struct MacKind {
    const char* name;
    Mac mac;
    Family family;
    Pad padding;
    unsigned length;     // bytes of a MAC
    const char* digest;  // libcrypto's name of the digest, where there is one
    const char* md;      // its MessageDigest constant
    const char* cipher;  // its SIG_CIPHER_ constant
    const char* padName; // its Cipher PAD_ constant
};

const MacKind macKinds[] = {
    {"ALG_DES_MAC4_NOPAD", Mac::Cbc, Family::Des, Pad::None, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_NOPAD"},
    {"ALG_DES_MAC8_NOPAD", Mac::Cbc, Family::Des, Pad::None, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_NOPAD"},
    {"ALG_DES_MAC4_ISO9797_M1", Mac::Cbc, Family::Des, Pad::M1, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_ISO9797_M1"},
    {"ALG_DES_MAC8_ISO9797_M1", Mac::Cbc, Family::Des, Pad::M1, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_ISO9797_M1"},
    {"ALG_DES_MAC4_ISO9797_M2", Mac::Cbc, Family::Des, Pad::M2, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_ISO9797_M2"},
    {"ALG_DES_MAC8_ISO9797_M2", Mac::Cbc, Family::Des, Pad::M2, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_ISO9797_M2"},
    {"ALG_DES_MAC4_PKCS5", Mac::Cbc, Family::Des, Pad::Pkcs5, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_PKCS5"},
    {"ALG_DES_MAC8_PKCS5", Mac::Cbc, Family::Des, Pad::Pkcs5, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_PKCS5"},
    {"ALG_DES_MAC4_ISO9797_1_M1_ALG3", Mac::Retail, Family::Des, Pad::M1, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_ISO9797_1_M1_ALG3"},
    {"ALG_DES_MAC8_ISO9797_1_M1_ALG3", Mac::Retail, Family::Des, Pad::M1, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_ISO9797_1_M1_ALG3"},
    {"ALG_DES_MAC4_ISO9797_1_M2_ALG3", Mac::Retail, Family::Des, Pad::M2, 4, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC4",
     "PAD_ISO9797_1_M2_ALG3"},
    {"ALG_DES_MAC8_ISO9797_1_M2_ALG3", Mac::Retail, Family::Des, Pad::M2, 8, nullptr, "ALG_NULL", "SIG_CIPHER_DES_MAC8",
     "PAD_ISO9797_1_M2_ALG3"},
    {"ALG_AES_MAC_128_NOPAD", Mac::Cbc, Family::Aes, Pad::None, 16, nullptr, "ALG_NULL", "SIG_CIPHER_AES_MAC128",
     "PAD_NOPAD"},
    {"ALG_AES_CMAC_128", Mac::Cmac, Family::Aes, Pad::None, 16, nullptr, "ALG_NULL", "SIG_CIPHER_AES_CMAC128",
     "PAD_NULL"},
    {"ALG_HMAC_SHA1", Mac::Hmac, Family::Hmac, Pad::None, 20, "SHA1", "ALG_SHA", "SIG_CIPHER_HMAC", "PAD_NULL"},
    {"ALG_HMAC_SHA_256", Mac::Hmac, Family::Hmac, Pad::None, 32, "SHA256", "ALG_SHA_256", "SIG_CIPHER_HMAC",
     "PAD_NULL"},
    {"ALG_HMAC_SHA_384", Mac::Hmac, Family::Hmac, Pad::None, 48, "SHA384", "ALG_SHA_384", "SIG_CIPHER_HMAC",
     "PAD_NULL"},
    {"ALG_HMAC_SHA_512", Mac::Hmac, Family::Hmac, Pad::None, 64, "SHA512", "ALG_SHA_512", "SIG_CIPHER_HMAC",
     "PAD_NULL"},
    {"ALG_HMAC_MD5", Mac::Hmac, Family::Hmac, Pad::None, 16, "MD5", "ALG_MD5", "SIG_CIPHER_HMAC", "PAD_NULL"},
    {"ALG_HMAC_RIPEMD160", Mac::Hmac, Family::Hmac, Pad::None, 20, "RIPEMD160", "ALG_RIPEMD160", "SIG_CIPHER_HMAC",
     "PAD_NULL"},
    {"ALG_RSA_SHA_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA1", "ALG_SHA", "SIG_CIPHER_RSA", "PAD_PKCS1"},
    {"ALG_RSA_MD5_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "MD5", "ALG_MD5", "SIG_CIPHER_RSA", "PAD_PKCS1"},
    {"ALG_RSA_RIPEMD160_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "RIPEMD160", "ALG_RIPEMD160",
     "SIG_CIPHER_RSA", "PAD_PKCS1"},
    {"ALG_RSA_SHA_224_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA224", "ALG_SHA_224", "SIG_CIPHER_RSA",
     "PAD_PKCS1"},
    {"ALG_RSA_SHA_256_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA256", "ALG_SHA_256", "SIG_CIPHER_RSA",
     "PAD_PKCS1"},
    {"ALG_RSA_SHA_384_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA384", "ALG_SHA_384", "SIG_CIPHER_RSA",
     "PAD_PKCS1"},
    {"ALG_RSA_SHA_512_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA512", "ALG_SHA_512", "SIG_CIPHER_RSA",
     "PAD_PKCS1"},
    {"ALG_RSA_SHA_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "SHA1", "ALG_SHA", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_RSA_MD5_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "MD5", "ALG_MD5", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_RSA_RIPEMD160_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "RIPEMD160", "ALG_RIPEMD160",
     "SIG_CIPHER_RSA", "PAD_PKCS1_PSS"},
    {"ALG_RSA_SHA_224_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "SHA224", "ALG_SHA_224", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_RSA_SHA_256_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "SHA256", "ALG_SHA_256", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_RSA_SHA_384_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "SHA384", "ALG_SHA_384", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_RSA_SHA_512_PKCS1_PSS", Mac::RsaPss, Family::Rsa, Pad::None, 0, "SHA512", "ALG_SHA_512", "SIG_CIPHER_RSA",
     "PAD_PKCS1_PSS"},
    {"ALG_ECDSA_SHA", Mac::Ecdsa, Family::Ec, Pad::None, 0, "SHA1", "ALG_SHA", "SIG_CIPHER_ECDSA", "PAD_NULL"},
    {"ALG_ECDSA_SHA_224", Mac::Ecdsa, Family::Ec, Pad::None, 0, "SHA224", "ALG_SHA_224", "SIG_CIPHER_ECDSA",
     "PAD_NULL"},
    {"ALG_ECDSA_SHA_256", Mac::Ecdsa, Family::Ec, Pad::None, 0, "SHA256", "ALG_SHA_256", "SIG_CIPHER_ECDSA",
     "PAD_NULL"},
    {"ALG_ECDSA_SHA_384", Mac::Ecdsa, Family::Ec, Pad::None, 0, "SHA384", "ALG_SHA_384", "SIG_CIPHER_ECDSA",
     "PAD_NULL"},
    {"ALG_ECDSA_SHA_512", Mac::Ecdsa, Family::Ec, Pad::None, 0, "SHA512", "ALG_SHA_512", "SIG_CIPHER_ECDSA",
     "PAD_NULL"},
};

bool asymmetric(const MacKind& kind)
{
    return kind.family == Family::Rsa || kind.family == Family::Ec;
}

// The DER DigestInfo that a PKCS#1 v1.5 signature puts before the hash.
Bytes digestInfo(const std::string& digest, const Bytes& hash)
{
    static const std::map<std::string, const char*> prefixes = {
        {"MD5", "3020300C06082A864886F70D020505000410"},      {"RIPEMD160", "3021300906052B2403020105000414"},
        {"SHA1", "3021300906052B0E03021A05000414"},           {"SHA224", "302D300D06096086480165030402040500041C"},
        {"SHA256", "3031300D060960864801650304020105000420"}, {"SHA384", "3041300D060960864801650304020205000430"},
        {"SHA512", "3051300D060960864801650304020305000440"}};
    Bytes info;
    const std::string hex = prefixes.at(digest);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        info.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    info.insert(info.end(), hash.begin(), hash.end());
    return info;
}

// EMSA-PSS (PKCS#1 v2.2) with MGF1 over the same digest and a salt as long as the hash.
Bytes pssEncode(NativeCall& c, const char* digest, const Bytes& hash, unsigned modulusBits)
{
    const std::size_t h = hash.size(), emBits = modulusBits - 1, emLength = (emBits + 7) / 8;
    if (emLength < 2 * h + 2)
        cryptoThrow(c, "ILLEGAL_USE", "the key is too short for PSS with this digest");
    Bytes salt(h);
    if (getrandom(salt.data(), salt.size(), 0) != static_cast<ssize_t>(salt.size()))
        cryptoThrow(c, "ILLEGAL_USE", "no random bytes for the PSS salt");
    Bytes prefixed(8, 0);
    prefixed.insert(prefixed.end(), hash.begin(), hash.end());
    prefixed.insert(prefixed.end(), salt.begin(), salt.end());
    const Bytes hashed = hashOf(c, digest, prefixed);
    Bytes db(emLength - 2 * h - 2, 0);
    db.push_back(0x01);
    db.insert(db.end(), salt.begin(), salt.end());
    const Bytes mask = mgf1(c, digest, hashed, db.size());
    for (std::size_t i = 0; i < db.size(); ++i)
        db[i] ^= mask[i];
    db[0] &= static_cast<std::uint8_t>(0xFF >> (8 * emLength - emBits));
    db.insert(db.end(), hashed.begin(), hashed.end());
    db.push_back(0xBC);
    db.insert(db.begin(), modulusBits / 8 - emLength, 0);
    return db;
}

bool pssVerify(NativeCall& c, const char* digest, const Bytes& hash, const Bytes& block, unsigned modulusBits)
{
    const std::size_t h = hash.size(), emBits = modulusBits - 1, emLength = (emBits + 7) / 8;
    if (block.size() < emLength || emLength < 2 * h + 2)
        return false;
    const Bytes em(block.end() - static_cast<long>(emLength), block.end());
    const std::uint8_t topMask = static_cast<std::uint8_t>(0xFF << (8 - (8 * emLength - emBits)));
    if (em.back() != 0xBC || (8 * emLength > emBits && (em[0] & topMask)))
        return false;
    Bytes db(em.begin(), em.end() - static_cast<long>(h) - 1);
    const Bytes hashed(em.end() - static_cast<long>(h) - 1, em.end() - 1);
    const Bytes mask = mgf1(c, digest, hashed, db.size());
    for (std::size_t i = 0; i < db.size(); ++i)
        db[i] ^= mask[i];
    db[0] &= static_cast<std::uint8_t>(0xFF >> (8 * emLength - emBits));
    const auto one = std::find_if(db.begin(), db.end(), [](std::uint8_t b) { return b != 0; });
    if (one == db.end() || *one != 0x01)
        return false;
    Bytes prefixed(8, 0);
    prefixed.insert(prefixed.end(), hash.begin(), hash.end());
    prefixed.insert(prefixed.end(), one + 1, db.end());
    return hashOf(c, digest, prefixed) == hashed;
}

struct SignatureState : NativeState {
    std::int8_t algorithm = 0;
    const MacKind* kind = nullptr;
    bool initialized = false, signing = false;
    Bytes key, iv, data;
    KeyState asymmetricKey;                 // an RSA or EC signature's key, as init found it
    void reset() override { data.clear(); } // as its last init left it
    const char* stateKind() const override { return "signature"; }
    void save(StateWriter& out) const override
    {
        out.u8(static_cast<std::uint8_t>(algorithm));
        out.u8(static_cast<std::uint8_t>(kind - macKinds));
        out.u8(static_cast<std::uint8_t>((initialized ? 1 : 0) | (signing ? 2 : 0)));
        out.bytes(key);
        out.bytes(iv);
        asymmetricKey.save(out);
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<SignatureState>();
        state->algorithm = static_cast<std::int8_t>(in.u8());
        const std::uint8_t index = in.u8();
        if (index >= std::size(macKinds))
            throw SnapshotError("a signature of no kind the card has");
        state->kind = &macKinds[index];
        const std::uint8_t flags = in.u8();
        state->initialized = (flags & 1) != 0;
        state->signing = (flags & 2) != 0;
        state->key = in.bytes();
        state->iv = in.bytes();
        KeyState::load(in, state->asymmetricKey);
        return state;
    }
};

Ref makeSignature(NativeCall& c, const MacKind& kind, std::int8_t algorithm, const char* cls)
{
    const Ref made = c.vm.newInstance(c.vm.apiClass(cls));
    auto state = std::make_unique<SignatureState>();
    state->algorithm = algorithm;
    state->kind = &kind;
    c.vm.object(made).native = std::move(state);
    return made;
}

void signatureGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    for (const auto& kind : macKinds)
        if (algorithm == constant(signatureClass, kind.name)) {
            c.returnRef(makeSignature(c, kind, static_cast<std::int8_t>(algorithm), signatureClass));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "Signature algorithm " + std::to_string(algorithm));
}

// getInstance(messageDigestAlgorithm, cipherAlgorithm, paddingAlgorithm, externalAccess), and OneShot.open.
void makeByParts(NativeCall& c, const char* cls)
{
    const std::int16_t md = c.shortArg(0), cipher = c.shortArg(1), padding = c.shortArg(2);
    for (const auto& kind : macKinds)
        if (md == constant("javacard.security.MessageDigest", kind.md) &&
            cipher == constant(signatureClass, kind.cipher) && padding == constant(cipherClass, kind.padName)) {
            c.returnRef(makeSignature(c, kind, static_cast<std::int8_t>(constant(signatureClass, kind.name)), cls));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM",
                "Signature of digest " + std::to_string(md) + ", cipher " + std::to_string(cipher) + " and padding " +
                    std::to_string(padding));
}

void signatureGetInstanceByParts(NativeCall& c)
{
    makeByParts(c, signatureClass);
}

void signatureOneShotOpen(NativeCall& c)
{
    makeByParts(c, "javacard.security.Signature$OneShot");
}

SignatureState& signatureOf(NativeCall& c)
{
    return stateOf<SignatureState>(c, "INVALID_INIT", "Signature");
}

void signatureInit(NativeCall& c, bool ivGiven)
{
    SignatureState& signature = signatureOf(c);
    const std::int16_t mode = c.shortArg(2);
    if (mode != constant(signatureClass, "MODE_SIGN") && mode != constant(signatureClass, "MODE_VERIFY"))
        cryptoThrow(c, "ILLEGAL_VALUE", "Signature mode " + std::to_string(mode));
    const bool signing = mode == constant(signatureClass, "MODE_SIGN");
    const MacKind& kind = *signature.kind;
    if (asymmetric(kind)) {
        signature.asymmetricKey = asymmetricKey(c, ivGiven, kind.family, !signing,
                                                signing ? "a key that cannot sign" : "a key that cannot verify");
    } else {
        // HMAC takes an HMAC key, or a generic secret one.
        const KeyState& key = keyOf(c, 1);
        const Family family =
            kind.family == Family::Hmac && key.family == Family::Generic ? Family::Generic : kind.family;
        initSecret(c, family, ivGiven, kind.family == Family::Des ? 8 : 16,
                   kind.mac == Mac::Cbc || kind.mac == Mac::Retail, signature.key, signature.iv);
        if (kind.mac == Mac::Retail && signature.key.size() < 16)
            cryptoThrow(c, "ILLEGAL_VALUE", "the retail MAC takes a two- or three-key DES key");
    }
    signature.signing = signing;
    signature.data.clear();
    signature.initialized = true;
}

void signatureInitKey(NativeCall& c)
{
    signatureInit(c, false);
}

void signatureInitIv(NativeCall& c)
{
    signatureInit(c, true);
}

// ISO 9797-1 algorithm 3: single DES CBC under K1, the last block then
// decrypted under K2 and encrypted under K1 again.
Bytes retailMac(NativeCall& c, const SignatureState& signature, const Bytes& data)
{
    const Bytes k1(signature.key.begin(), signature.key.begin() + 8),
        k2(signature.key.begin() + 8, signature.key.begin() + 16);
    const Bytes chained = blockCipher(c, Family::Des, k1, true, true, signature.iv, data);
    Bytes last(chained.end() - 8, chained.end());
    last = blockCipher(c, Family::Des, k2, false, false, {}, last);
    return blockCipher(c, Family::Des, k1, false, true, {}, last);
}

Bytes ecdsaSign(NativeCall& c, const KeyState& key, const char* digest, const Bytes& data, bool hashed)
{
    const Pkey pkey = ecKey(c, key, nullptr, true);
    Bytes signature(16 + 2 * (ecOrderBytes(key) + 4));
    std::size_t length = signature.size();
    bool ok = false;
    if (hashed) {
        const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
        ok = ctx && EVP_PKEY_sign_init(ctx.get()) == 1 &&
             EVP_PKEY_sign(ctx.get(), signature.data(), &length, data.data(), data.size()) == 1;
    } else {
        const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        ok = ctx && EVP_DigestSignInit_ex(ctx.get(), nullptr, digest, nullptr, nullptr, pkey.get(), nullptr) == 1 &&
             EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) == 1;
    }
    if (!ok)
        cryptoThrow(c, "ILLEGAL_VALUE", "the ECDSA signature could not be made with this key");
    signature.resize(length);
    return signature;
}

bool ecdsaVerify(NativeCall& c, const KeyState& key, const char* digest, const Bytes& data, const Bytes& given,
                 bool hashed)
{
    const Pkey pkey = ecKey(c, key, &key.parts.at("w"), false);
    if (hashed) {
        const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr), EVP_PKEY_CTX_free);
        return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
               EVP_PKEY_verify(ctx.get(), given.data(), given.size(), data.data(), data.size()) == 1;
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return ctx && EVP_DigestVerifyInit_ex(ctx.get(), nullptr, digest, nullptr, nullptr, pkey.get(), nullptr) == 1 &&
           EVP_DigestVerify(ctx.get(), given.data(), given.size(), data.data(), data.size()) == 1;
}

// The signature of `input`: the data, or its hash where `hashed`.
Bytes signatureOfData(NativeCall& c, SignatureState& signature, Bytes input, bool hashed)
{
    const MacKind& kind = *signature.kind;
    const KeyState& key = signature.asymmetricKey;
    switch (kind.mac) {
    case Mac::RsaPkcs1:
        return rsaApply(
            c, key,
            pkcs1Pad(c, digestInfo(kind.digest, hashed ? input : hashOf(c, kind.digest, input)), key.bits / 8, 1));
    case Mac::RsaPss:
        return rsaApply(c, key, pssEncode(c, kind.digest, hashed ? input : hashOf(c, kind.digest, input), key.bits));
    case Mac::Ecdsa:
        return ecdsaSign(c, key, kind.digest, input, hashed);
    case Mac::Cbc:
    case Mac::Retail: {
        const std::size_t block = kind.family == Family::Des ? 8 : 16;
        pad(input, kind.padding, block);
        if (input.size() % block != 0 || input.empty())
            cryptoThrow(c, "ILLEGAL_USE", std::to_string(input.size()) + " bytes, not whole blocks, and no padding");
        const auto out = kind.mac == Mac::Retail
                             ? retailMac(c, signature, input)
                             : blockCipher(c, kind.family, signature.key, true, true, signature.iv, input);
        return {out.end() - static_cast<long>(block), out.end() - static_cast<long>(block) + kind.length};
    }
    case Mac::Cmac:
    case Mac::Hmac:
        break;
    }
    Bytes mac(EVP_MAX_MD_SIZE + 16);
    std::size_t length = 0;
    const char* cipher = signature.key.size() == 16   ? "AES-128-CBC"
                         : signature.key.size() == 24 ? "AES-192-CBC"
                                                      : "AES-256-CBC";
    if (!EVP_Q_mac(nullptr, kind.mac == Mac::Hmac ? "HMAC" : "CMAC", nullptr,
                   kind.mac == Mac::Hmac ? kind.digest : cipher, nullptr, signature.key.data(), signature.key.size(),
                   input.data(), input.size(), mac.data(), mac.size(), &length))
        cryptoThrow(c, "ILLEGAL_USE", "the MAC could not be computed");
    mac.resize(std::min<std::size_t>(length, kind.length));
    return mac;
}

bool verifies(NativeCall& c, SignatureState& signature, const Bytes& input, const Bytes& given, bool hashed)
{
    const MacKind& kind = *signature.kind;
    const KeyState& key = signature.asymmetricKey;
    if (kind.mac == Mac::Ecdsa)
        return ecdsaVerify(c, key, kind.digest, input, given, hashed);
    if (kind.mac != Mac::RsaPkcs1 && kind.mac != Mac::RsaPss)
        return given == signatureOfData(c, signature, input, hashed);
    // The public key's operation on the signature, whose padding must hold this data's hash.
    if (given.size() != key.bits / 8)
        return false;
    Bytes block;
    try {
        block = rsaApply(c, key, given);
    } catch (const Thrown&) {
        return false; // a signature not below the modulus verifies nothing
    }
    const Bytes hash = hashed ? input : hashOf(c, kind.digest, input);
    if (kind.mac == Mac::RsaPss)
        return pssVerify(c, kind.digest, hash, block, key.bits);
    const auto unpadded = pkcs1Unpad(block, 1);
    return unpadded && *unpadded == digestInfo(kind.digest, hash);
}

void signatureUpdate(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    if (!signature.initialized)
        cryptoThrow(c, "INVALID_INIT", "Signature.update before init");
    const auto bytes = argumentBytes(c, 1, 2, 3);
    signature.data.insert(signature.data.end(), bytes.begin(), bytes.end());
}

// The data of a sign or verify: what update gathered and the call's own.
Bytes finalData(NativeCall& c, SignatureState& signature, bool signing)
{
    if (!signature.initialized || signature.signing != signing)
        cryptoThrow(c, "INVALID_INIT",
                    signing ? "Signature.sign without init for signing"
                            : "Signature.verify without init for verifying");
    auto data = signature.data;
    const auto bytes = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), bytes.begin(), bytes.end());
    signature.data.clear();
    return data;
}

// A precomputed hash: of an RSA or ECDSA signature's own digest's length.
Bytes precomputedHash(NativeCall& c, SignatureState& signature, bool signing)
{
    const MacKind& kind = *signature.kind;
    if (!asymmetric(kind))
        cryptoThrow(c, "ILLEGAL_USE", "a precomputed hash for a MAC");
    Bytes hash = finalData(c, signature, signing);
    if (hash.size() != hashOf(c, kind.digest, {}).size())
        cryptoThrow(c, "ILLEGAL_VALUE", "a hash of " + std::to_string(hash.size()) + " bytes for " + kind.digest);
    return hash;
}

void writeSignature(NativeCall& c, const Bytes& signature)
{
    writeArgumentBytes(c, 4, 5, signature);
    c.returnShort(static_cast<std::int16_t>(signature.size()));
}

void signatureSign(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    const Bytes data = finalData(c, signature, true);
    writeSignature(c, signatureOfData(c, signature, data, false));
}

void signatureSignHash(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    const Bytes hash = precomputedHash(c, signature, true);
    writeSignature(c, signatureOfData(c, signature, hash, true));
}

void signatureVerify(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    const Bytes data = finalData(c, signature, false);
    c.returnShort(verifies(c, signature, data, argumentBytes(c, 4, 5, 6), false) ? 1 : 0);
}

void signatureVerifyHash(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    const Bytes hash = precomputedHash(c, signature, false);
    c.returnShort(verifies(c, signature, hash, argumentBytes(c, 4, 5, 6), true) ? 1 : 0);
}

// The length of a signature: an RSA one's modulus, the longest DER an
// ECDSA one may take, or the MAC's.
void signatureLength(NativeCall& c)
{
    const SignatureState& signature = signatureOf(c);
    const MacKind& kind = *signature.kind;
    if (asymmetric(kind) && !signature.initialized)
        cryptoThrow(c, "INVALID_INIT", "Signature.getLength of an asymmetric signature before init");
    std::size_t length = kind.length;
    if (kind.family == Family::Rsa) {
        length = signature.asymmetricKey.bits / 8;
    } else if (kind.family == Family::Ec) {
        const std::size_t content = 2 * (2 + ecOrderBytes(signature.asymmetricKey) + 1);
        length = content + (content < 128 ? 2 : 3);
    }
    c.returnShort(static_cast<std::int16_t>(length));
}

void signatureAlgorithm(NativeCall& c)
{
    c.returnShort(signatureOf(c).algorithm);
}

void signatureDigestAlgorithm(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(constant("javacard.security.MessageDigest", signatureOf(c).kind->md)));
}

void signatureCipherAlgorithm(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(constant(signatureClass, signatureOf(c).kind->cipher)));
}

void signaturePaddingAlgorithm(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(constant(cipherClass, signatureOf(c).kind->padName)));
}

// KeyAgreement: ECDH over the private key's domain.
const char* const agreementClass = "javacard.security.KeyAgreement";

enum class Secret { Sha1OfX, X, Xy };

struct AgreementState : NativeState {
    std::int8_t algorithm = 0;
    bool cofactor = false;
    Secret secret = Secret::X;
    bool initialized = false;
    KeyState key;
    const char* stateKind() const override { return "agreement"; }
    void save(StateWriter& out) const override
    {
        out.u8(static_cast<std::uint8_t>(algorithm));
        out.u8(static_cast<std::uint8_t>((cofactor ? 1 : 0) | (initialized ? 2 : 0)));
        out.u8(static_cast<std::uint8_t>(secret));
        key.save(out);
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<AgreementState>();
        state->algorithm = static_cast<std::int8_t>(in.u8());
        const std::uint8_t flags = in.u8();
        state->cofactor = (flags & 1) != 0;
        state->initialized = (flags & 2) != 0;
        state->secret = static_cast<Secret>(in.u8());
        if (state->secret > Secret::Xy)
            throw SnapshotError("a key agreement of no kind the card has");
        KeyState::load(in, state->key);
        return state;
    }
};

void agreementGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    struct Kind {
        const char* name;
        bool cofactor;
        Secret secret;
    };
    static const Kind kinds[] = {{"ALG_EC_SVDP_DH", false, Secret::Sha1OfX},
                                 {"ALG_EC_SVDP_DHC", true, Secret::Sha1OfX},
                                 {"ALG_EC_SVDP_DH_PLAIN", false, Secret::X},
                                 {"ALG_EC_SVDP_DHC_PLAIN", true, Secret::X},
                                 {"ALG_EC_SVDP_DH_PLAIN_XY", false, Secret::Xy}};
    for (const auto& kind : kinds)
        if (algorithm == constant(agreementClass, kind.name)) {
            const Ref made = c.vm.newInstance(c.vm.apiClass(agreementClass));
            auto state = std::make_unique<AgreementState>();
            state->algorithm = static_cast<std::int8_t>(algorithm);
            state->cofactor = kind.cofactor;
            state->secret = kind.secret;
            c.vm.object(made).native = std::move(state);
            c.returnRef(made);
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "KeyAgreement algorithm " + std::to_string(algorithm));
}

AgreementState& agreementOf(NativeCall& c)
{
    return stateOf<AgreementState>(c, "ILLEGAL_USE", "KeyAgreement");
}

void agreementInit(NativeCall& c)
{
    AgreementState& agreement = agreementOf(c);
    agreement.key = asymmetricKey(c, false, Family::Ec, false, "a key that is no EC private key");
    agreement.initialized = true;
}

// The peer's point times the private value (and the cofactor): the whole
// point, uncompressed, which only libcrypto's point arithmetic gives.
Bytes sharedPoint(NativeCall& c, const KeyState& key, const Bytes& point, bool cofactor)
{
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    const Bn p = bn(key.parts.at("field")), a = bn(key.parts.at("a")), b = bn(key.parts.at("b")),
             s = bn(key.parts.at("s")), k = newBn();
    const std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(
        ctx ? EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()) : nullptr, EC_GROUP_free);
    if (!group)
        cryptoThrow(c, "ILLEGAL_VALUE", "the EC key's domain parameters are not a sound curve");
    const std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> peer(EC_POINT_new(group.get()), EC_POINT_free),
        shared(EC_POINT_new(group.get()), EC_POINT_free);
    bool ok = peer && shared && k && BN_set_word(k.get(), static_cast<BN_ULONG>(cofactor ? key.cofactor : 1)) &&
              EC_POINT_oct2point(group.get(), peer.get(), point.data(), point.size(), ctx.get()) == 1 &&
              EC_POINT_is_on_curve(group.get(), peer.get(), ctx.get()) == 1 &&
              BN_mul(k.get(), k.get(), s.get(), ctx.get()) == 1 &&
              EC_POINT_mul(group.get(), shared.get(), nullptr, peer.get(), k.get(), ctx.get()) == 1 &&
              EC_POINT_is_at_infinity(group.get(), shared.get()) == 0;
    Bytes out(1 + 2 * static_cast<std::size_t>(BN_num_bytes(p.get())));
    ok = ok && EC_POINT_point2oct(group.get(), shared.get(), POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(),
                                  ctx.get()) == out.size();
    if (!ok)
        cryptoThrow(c, "ILLEGAL_VALUE", "the public data is not a point of the key's curve");
    return out;
}

void agreementSecret(NativeCall& c)
{
    AgreementState& agreement = agreementOf(c);
    if (!agreement.initialized)
        cryptoThrow(c, "ILLEGAL_USE", "KeyAgreement.generateSecret before init");
    const Bytes point = argumentBytes(c, 1, 2, 3);
    const Bytes shared = sharedPoint(c, agreement.key, point, agreement.cofactor);
    const Bytes x(shared.begin() + 1, shared.begin() + 1 + static_cast<long>(shared.size() / 2));
    const Bytes secret = agreement.secret == Secret::Xy  ? shared
                         : agreement.secret == Secret::X ? x
                                                         : hashOf(c, "SHA1", x);
    writeArgumentBytes(c, 4, 5, secret);
    c.returnShort(static_cast<std::int16_t>(secret.size()));
}

void agreementAlgorithm(NativeCall& c)
{
    c.returnShort(agreementOf(c).algorithm);
}

// Checksum: CRC16 (polynomial 0x1021, most significant bit first, the result
// complemented) and CRC32 (0x04C11DB7 reflected, the result complemented),
// each from an initial value that init sets and doFinal returns to zero.
const char* const checksumClass = "javacard.security.Checksum";

struct ChecksumState : NativeState {
    std::int8_t algorithm = 0;
    bool crc32 = false;
    std::uint32_t initial = 0, crc = 0;
    void reset() override { initial = crc = 0; }
    const char* stateKind() const override { return "checksum"; }
    void save(StateWriter& out) const override
    {
        out.u8(static_cast<std::uint8_t>(algorithm));
        out.u8(crc32 ? 1 : 0);
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<ChecksumState>();
        state->algorithm = static_cast<std::int8_t>(in.u8());
        state->crc32 = in.u8() != 0;
        return state;
    }
};

void checksumGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    const bool crc16 = algorithm == constant(checksumClass, "ALG_ISO3309_CRC16");
    if (!crc16 && algorithm != constant(checksumClass, "ALG_ISO3309_CRC32"))
        cryptoThrow(c, "NO_SUCH_ALGORITHM", "Checksum algorithm " + std::to_string(algorithm));
    const Ref made = c.vm.newInstance(c.vm.apiClass(checksumClass));
    auto state = std::make_unique<ChecksumState>();
    state->algorithm = static_cast<std::int8_t>(algorithm);
    state->crc32 = !crc16;
    c.vm.object(made).native = std::move(state);
    c.returnRef(made);
}

ChecksumState& checksumOf(NativeCall& c)
{
    return stateOf<ChecksumState>(c, "ILLEGAL_USE", "Checksum");
}

void checksumInit(NativeCall& c)
{
    ChecksumState& checksum = checksumOf(c);
    const Bytes value = argumentBytes(c, 1, 2, 3);
    if (value.size() != (checksum.crc32 ? 4u : 2u))
        cryptoThrow(c, "ILLEGAL_VALUE", "an initial checksum of " + std::to_string(value.size()) + " bytes");
    checksum.initial = 0;
    for (const std::uint8_t b : value)
        checksum.initial = checksum.initial << 8 | b;
    checksum.crc = checksum.initial;
}

void checksumFeed(NativeCall& c, ChecksumState& checksum)
{
    for (const std::uint8_t b : argumentBytes(c, 1, 2, 3)) {
        if (checksum.crc32) {
            checksum.crc ^= b;
            for (int bit = 0; bit < 8; ++bit)
                checksum.crc = checksum.crc & 1 ? checksum.crc >> 1 ^ 0xEDB88320u : checksum.crc >> 1;
        } else {
            checksum.crc ^= static_cast<std::uint32_t>(b) << 8;
            for (int bit = 0; bit < 8; ++bit)
                checksum.crc = (checksum.crc & 0x8000 ? checksum.crc << 1 ^ 0x1021u : checksum.crc << 1) & 0xFFFF;
        }
    }
}

void checksumUpdate(NativeCall& c)
{
    checksumFeed(c, checksumOf(c));
}

void checksumDoFinal(NativeCall& c)
{
    ChecksumState& checksum = checksumOf(c);
    checksumFeed(c, checksum);
    const std::uint32_t result = checksum.crc32 ? ~checksum.crc : ~checksum.crc & 0xFFFF;
    checksum.initial = checksum.crc = 0;
    Bytes out;
    for (int shift = checksum.crc32 ? 24 : 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(result >> shift));
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

void checksumAlgorithm(NativeCall& c)
{
    c.returnShort(checksumOf(c).algorithm);
}

const NativeTable& cryptoNatives()
{
    static const NativeTable table = [] {
        NativeTable t;
        addKeyNatives(t);
        addCipherNatives(t);
        const std::string signature = "javacard.security.Signature.";
        t[signature + "getInstance(BZ)Ljavacard/security/Signature;"] = signatureGetInstance;
        t[signature + "getInstance(BBBZ)Ljavacard/security/Signature;"] = signatureGetInstanceByParts;
        t["javacard.security.Signature$OneShot.open(BBB)Ljavacard/security/Signature$OneShot;"] = signatureOneShotOpen;
        t["javacard.security.Signature$OneShot.close()V"] = oneShotClose;
        for (const std::string& prefix : {signature, std::string("javacard.security.Signature$OneShot.")}) {
            t[prefix + "init(Ljavacard/security/Key;B)V"] = signatureInitKey;
            t[prefix + "init(Ljavacard/security/Key;B[BSS)V"] = signatureInitIv;
            t[prefix + "update([BSS)V"] = signatureUpdate;
            t[prefix + "sign([BSS[BS)S"] = signatureSign;
            t[prefix + "verify([BSS[BSS)Z"] = signatureVerify;
            t[prefix + "signPreComputedHash([BSS[BS)S"] = signatureSignHash;
            t[prefix + "verifyPreComputedHash([BSS[BSS)Z"] = signatureVerifyHash;
            t[prefix + "getLength()S"] = signatureLength;
            t[prefix + "getAlgorithm()B"] = signatureAlgorithm;
            t[prefix + "getMessageDigestAlgorithm()B"] = signatureDigestAlgorithm;
            t[prefix + "getCipherAlgorithm()B"] = signatureCipherAlgorithm;
            t[prefix + "getPaddingAlgorithm()B"] = signaturePaddingAlgorithm;
        }
        const std::string agreement = "javacard.security.KeyAgreement.";
        t[agreement + "getInstance(BZ)Ljavacard/security/KeyAgreement;"] = agreementGetInstance;
        t[agreement + "init(Ljavacard/security/PrivateKey;)V"] = agreementInit;
        t[agreement + "generateSecret([BSS[BS)S"] = agreementSecret;
        t[agreement + "getAlgorithm()B"] = agreementAlgorithm;
        const std::string checksum = "javacard.security.Checksum.";
        t[checksum + "getInstance(BZ)Ljavacard/security/Checksum;"] = checksumGetInstance;
        t[checksum + "init([BSS)V"] = checksumInit;
        t[checksum + "update([BSS)V"] = checksumUpdate;
        t[checksum + "doFinal([BSS[BS)S"] = checksumDoFinal;
        t[checksum + "getAlgorithm()B"] = checksumAlgorithm;
        return t;
    }();
    return table;
}

} // namespace

Native cryptoNativeFor(const std::string& fullName)
{
    const auto found = cryptoNatives().find(fullName);
    return found == cryptoNatives().end() ? nullptr : found->second;
}

void registerCryptoKinds()
{
    registerNativeKind("key", [](StateReader& in) -> std::unique_ptr<NativeState> {
        auto key = std::make_unique<crypto::KeyState>();
        crypto::KeyState::load(in, *key);
        return key;
    });
    registerNativeKind("signature", SignatureState::restore);
    registerNativeKind("agreement", AgreementState::restore);
    registerNativeKind("checksum", ChecksumState::restore);
    crypto::registerCipherKinds();
}

} // namespace tolvane::runtime
