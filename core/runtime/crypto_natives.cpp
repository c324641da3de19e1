// The symmetric cryptography of the API, served over libcrypto's EVP: DES,
// 3DES, AES, HMAC and generic secret keys; Cipher in ECB and CBC with no
// padding, ISO 9797 methods 1 and 2, and PKCS#5; Signature as the DES and AES
// CBC-MACs, AES-CMAC and HMAC. A key's bytes live in its object alone and are
// never named in a message.

#include "core/runtime/api_table.h"
#include "core/runtime/native_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/random.h>

#include <algorithm>
#include <map>
#include <memory>
#include <unordered_map>

namespace tolvane::runtime {
namespace {

long long constant(const char* cls, const char* name)
{
    return apiConstant(cls, name);
}

const char* const keyBuilder = "javacard.security.KeyBuilder";
const char* const cryptoException = "javacard.security.CryptoException";

unsigned reason(const char* name)
{
    return static_cast<unsigned>(constant(cryptoException, name));
}

[[noreturn]] void cryptoThrow(NativeCall& c, const char* reasonName, const std::string& detail)
{
    c.vm.throwNew(c.vm.api.cryptoException, reason(reasonName), detail);
}

enum class Family { Des, Aes, Hmac, Generic, Rsa };

// An RSA key's kind, and its parts by name: n, e (public) or d (private), and p, q, dp, dq, qinv.
enum class RsaKind { Public, Private, Crt };

struct KeyState : NativeState {
    Family family = Family::Des;
    std::int8_t type = 0;
    unsigned bits = 0;
    std::vector<std::uint8_t> key;
    bool initialized = false;
    std::optional<Memory> clearedOn; // a transient key's event
    RsaKind rsa = RsaKind::Public;
    std::map<std::string, std::vector<std::uint8_t>> parts;

    void clear()
    {
        std::fill(key.begin(), key.end(), 0);
        for (auto& [name, part] : parts)
            std::fill(part.begin(), part.end(), 0);
        parts.clear();
        initialized = false;
    }
    void checkRsa()
    {
        static const std::map<RsaKind, std::vector<std::string>> needed = {
            {RsaKind::Public, {"n", "e"}},
            {RsaKind::Private, {"n", "d"}},
            {RsaKind::Crt, {"p", "q", "dp", "dq", "qinv"}}};
        initialized = std::all_of(needed.at(rsa).begin(), needed.at(rsa).end(),
                                  [&](const std::string& name) { return parts.count(name) != 0; });
    }
    void reset() override
    {
        if (clearedOn)
            clear();
    }
    void cleared(Memory event) override
    {
        if (clearedOn == event)
            clear();
    }
};

KeyState& keyOf(NativeCall& c, unsigned arg)
{
    auto* state = dynamic_cast<KeyState*>(c.objectArg(arg).native.get());
    if (!state)
        cryptoThrow(c, "ILLEGAL_VALUE", "a key the simulated card did not build");
    return *state;
}

Ref makeKey(NativeCall& c, Family family, std::int8_t type, unsigned bits, std::optional<Memory> clearedOn,
            RsaKind rsa = RsaKind::Public)
{
    const char* names[] = {"javacard.security.DESKey", "javacard.security.AESKey", "javacard.security.HMACKey",
                           "javacard.security.GenericSecretKey"};
    const char* rsaNames[] = {"javacard.security.RSAPublicKey", "javacard.security.RSAPrivateKey",
                              "javacard.security.RSAPrivateCrtKey"};
    const Class* cls =
        c.vm.apiClass(family == Family::Rsa ? rsaNames[static_cast<int>(rsa)] : names[static_cast<int>(family)]);
    const Ref made = c.vm.newInstance(cls);
    auto state = std::make_unique<KeyState>();
    state->family = family;
    state->type = type;
    state->bits = bits;
    state->key.assign(bits / 8, 0);
    state->clearedOn = clearedOn;
    state->rsa = rsa;
    if (family == Family::Rsa)
        state->key.clear();
    c.vm.object(made).native = std::move(state);
    return made;
}

bool validLength(Family family, unsigned bits)
{
    switch (family) {
    case Family::Des:
        return bits == 64 || bits == 128 || bits == 192;
    case Family::Aes:
        return bits == 128 || bits == 192 || bits == 256;
    case Family::Hmac:
    case Family::Generic:
        return bits > 0 && bits % 8 == 0 && bits <= 8 * 256;
    case Family::Rsa:
        return bits >= 512 && bits <= 4096 && bits % 32 == 0;
    }
    return false;
}

// KeyBuilder.buildKey(keyType, keyLength, keyEncryption).
void buildKey(NativeCall& c)
{
    const std::int16_t type = c.shortArg(0);
    const auto bits = static_cast<std::uint16_t>(c.shortArg(1));
    struct Kind {
        const char* name;
        Family family;
        std::optional<Memory> clearedOn;
        RsaKind rsa = RsaKind::Public;
    };
    static const Kind kinds[] = {
        {"TYPE_RSA_PUBLIC", Family::Rsa, std::nullopt, RsaKind::Public},
        {"TYPE_RSA_PRIVATE", Family::Rsa, std::nullopt, RsaKind::Private},
        {"TYPE_RSA_CRT_PRIVATE", Family::Rsa, std::nullopt, RsaKind::Crt},
        {"TYPE_RSA_PRIVATE_TRANSIENT_RESET", Family::Rsa, Memory::ClearOnReset, RsaKind::Private},
        {"TYPE_RSA_PRIVATE_TRANSIENT_DESELECT", Family::Rsa, Memory::ClearOnDeselect, RsaKind::Private},
        {"TYPE_RSA_CRT_PRIVATE_TRANSIENT_RESET", Family::Rsa, Memory::ClearOnReset, RsaKind::Crt},
        {"TYPE_RSA_CRT_PRIVATE_TRANSIENT_DESELECT", Family::Rsa, Memory::ClearOnDeselect, RsaKind::Crt},
        {"TYPE_DES_TRANSIENT_RESET", Family::Des, Memory::ClearOnReset},
        {"TYPE_DES_TRANSIENT_DESELECT", Family::Des, Memory::ClearOnDeselect},
        {"TYPE_DES", Family::Des, std::nullopt},
        {"TYPE_AES_TRANSIENT_RESET", Family::Aes, Memory::ClearOnReset},
        {"TYPE_AES_TRANSIENT_DESELECT", Family::Aes, Memory::ClearOnDeselect},
        {"TYPE_AES", Family::Aes, std::nullopt},
        {"TYPE_HMAC_TRANSIENT_RESET", Family::Hmac, Memory::ClearOnReset},
        {"TYPE_HMAC_TRANSIENT_DESELECT", Family::Hmac, Memory::ClearOnDeselect},
        {"TYPE_HMAC", Family::Hmac, std::nullopt},
        {"TYPE_GENERIC_SECRET", Family::Generic, std::nullopt},
    };
    for (const auto& kind : kinds)
        if (type == constant(keyBuilder, kind.name)) {
            if (!validLength(kind.family, bits))
                cryptoThrow(c, "NO_SUCH_ALGORITHM",
                            std::string("KeyBuilder.") + kind.name + " of " + std::to_string(bits) + " bits");
            c.returnRef(makeKey(c, kind.family, static_cast<std::int8_t>(type), bits, kind.clearedOn, kind.rsa));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "KeyBuilder key type " + std::to_string(type));
}

// KeyBuilder.buildKey(algorithmicKeyType, keyMemoryType, keyLength, keyEncryption).
void buildKeyInMemory(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0), memory = c.shortArg(1);
    const auto bits = static_cast<std::uint16_t>(c.shortArg(2));
    const char* jc = "javacard.framework.JCSystem";
    std::optional<Memory> clearedOn;
    if (memory == constant(jc, "MEMORY_TYPE_TRANSIENT_RESET"))
        clearedOn = Memory::ClearOnReset;
    else if (memory == constant(jc, "MEMORY_TYPE_TRANSIENT_DESELECT"))
        clearedOn = Memory::ClearOnDeselect;
    else if (memory != constant(jc, "MEMORY_TYPE_PERSISTENT"))
        cryptoThrow(c, "ILLEGAL_VALUE", "key memory type " + std::to_string(memory));
    struct Kind {
        const char* name;
        Family family;
        const char* persistentType;
    };
    static const Kind kinds[] = {{"ALG_TYPE_DES", Family::Des, "TYPE_DES"},
                                 {"ALG_TYPE_AES", Family::Aes, "TYPE_AES"},
                                 {"ALG_TYPE_HMAC", Family::Hmac, "TYPE_HMAC"},
                                 {"ALG_TYPE_GENERIC_SECRET", Family::Generic, "TYPE_GENERIC_SECRET"}};
    for (const auto& kind : kinds)
        if (algorithm == constant(keyBuilder, kind.name)) {
            if (!validLength(kind.family, bits))
                cryptoThrow(c, "NO_SUCH_ALGORITHM",
                            std::string("KeyBuilder.") + kind.name + " of " + std::to_string(bits) + " bits");
            c.returnRef(makeKey(c, kind.family, static_cast<std::int8_t>(constant(keyBuilder, kind.persistentType)),
                                bits, clearedOn));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "KeyBuilder algorithmic key type " + std::to_string(algorithm));
}

void keyClear(NativeCall& c)
{
    keyOf(c, 0).clear();
}

void keySize(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(keyOf(c, 0).bits));
}

void keyType(NativeCall& c)
{
    c.returnShort(keyOf(c, 0).type);
}

void keyInitialized(NativeCall& c)
{
    c.returnShort(keyOf(c, 0).initialized ? 1 : 0);
}

// setKey(keyData, kOff): the key's length of bytes.
void keySet(NativeCall& c)
{
    KeyState& key = keyOf(c, 0);
    Object& data = c.arrayArg(1, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(2);
    checkRange(c, data, offset, static_cast<std::int32_t>(key.key.size()));
    std::copy(data.bytes.begin() + offset, data.bytes.begin() + offset + static_cast<long>(key.key.size()),
              key.key.begin());
    key.initialized = true;
}

// setKey(keyData, kOff, kLen) of HMAC and generic secret keys: up to the key's size.
void keySetLength(NativeCall& c)
{
    KeyState& key = keyOf(c, 0);
    const std::int16_t length = c.shortArg(3);
    if (length < 1 || static_cast<unsigned>(length) > key.bits / 8)
        cryptoThrow(c, "ILLEGAL_VALUE", "a key of " + std::to_string(length) + " bytes, past its size");
    key.key = argumentBytes(c, 1, 2, 3);
    key.initialized = true;
}

void keyGet(NativeCall& c)
{
    KeyState& key = keyOf(c, 0);
    if (!key.initialized)
        cryptoThrow(c, "UNINITIALIZED_KEY", "getKey of a key never set");
    writeArgumentBytes(c, 1, 2, key.key);
    c.returnShort(static_cast<std::int16_t>(key.key.size()));
}

// RSA keys' parts: set from an applet's bytes (leading zeros dropped), got
// back at the modulus's length (the exponents as short as they are).
void rsaSet(NativeCall& c, const char* part)
{
    KeyState& key = keyOf(c, 0);
    auto bytes = argumentBytes(c, 1, 2, 3);
    bytes.erase(bytes.begin(), std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; }));
    if (bytes.empty() || bytes.size() > key.bits / 8)
        cryptoThrow(c, "ILLEGAL_VALUE",
                    std::string("an RSA ") + part + " of " + std::to_string(bytes.size()) + " bytes, for a key of " +
                        std::to_string(key.bits) + " bits");
    key.parts[part] = std::move(bytes);
    key.checkRsa();
}

void rsaGet(NativeCall& c, const char* part)
{
    KeyState& key = keyOf(c, 0);
    const auto found = key.parts.find(part);
    if (found == key.parts.end())
        cryptoThrow(c, "UNINITIALIZED_KEY", std::string("the RSA key's ") + part + " was never set");
    std::vector<std::uint8_t> bytes = found->second;
    const std::string name = part;
    const std::size_t width = name == "n" ? key.bits / 8 : name == "e" || name == "d" ? 0 : key.bits / 16;
    if (bytes.size() < width)
        bytes.insert(bytes.begin(), width - bytes.size(), 0);
    writeArgumentBytes(c, 1, 2, bytes);
    c.returnShort(static_cast<std::int16_t>(bytes.size()));
}

void rsaSetModulus(NativeCall& c)
{
    rsaSet(c, "n");
}
void rsaGetModulus(NativeCall& c)
{
    rsaGet(c, "n");
}
void rsaSetPublicExponent(NativeCall& c)
{
    rsaSet(c, "e");
}
void rsaGetPublicExponent(NativeCall& c)
{
    rsaGet(c, "e");
}
void rsaSetPrivateExponent(NativeCall& c)
{
    rsaSet(c, "d");
}
void rsaGetPrivateExponent(NativeCall& c)
{
    rsaGet(c, "d");
}
void rsaSetP(NativeCall& c)
{
    rsaSet(c, "p");
}
void rsaGetP(NativeCall& c)
{
    rsaGet(c, "p");
}
void rsaSetQ(NativeCall& c)
{
    rsaSet(c, "q");
}
void rsaGetQ(NativeCall& c)
{
    rsaGet(c, "q");
}
void rsaSetDp(NativeCall& c)
{
    rsaSet(c, "dp");
}
void rsaGetDp(NativeCall& c)
{
    rsaGet(c, "dp");
}
void rsaSetDq(NativeCall& c)
{
    rsaSet(c, "dq");
}
void rsaGetDq(NativeCall& c)
{
    rsaGet(c, "dq");
}
void rsaSetQinv(NativeCall& c)
{
    rsaSet(c, "qinv");
}
void rsaGetQinv(NativeCall& c)
{
    rsaGet(c, "qinv");
}

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;

Bn bn(const std::vector<std::uint8_t>& bytes)
{
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_clear_free);
}

// The RSA operation with `key` on `input` (the modulus's length): with the
// public exponent, the private one, or the CRT parts.
std::vector<std::uint8_t> rsaApply(NativeCall& c, const KeyState& key, const std::vector<std::uint8_t>& input)
{
    const std::size_t k = key.bits / 8;
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    Bn m = bn(input), r(BN_new(), BN_clear_free);
    bool ok = ctx && m && r;
    if (key.rsa == RsaKind::Crt) {
        const Bn p = bn(key.parts.at("p")), q = bn(key.parts.at("q")), dp = bn(key.parts.at("dp")),
                 dq = bn(key.parts.at("dq")), qinv = bn(key.parts.at("qinv"));
        Bn m1(BN_new(), BN_clear_free), m2(BN_new(), BN_clear_free), h(BN_new(), BN_clear_free);
        ok = ok && BN_mod_exp(m1.get(), m.get(), dp.get(), p.get(), ctx.get()) &&
             BN_mod_exp(m2.get(), m.get(), dq.get(), q.get(), ctx.get()) &&
             BN_mod_sub(h.get(), m1.get(), m2.get(), p.get(), ctx.get()) &&
             BN_mod_mul(h.get(), h.get(), qinv.get(), p.get(), ctx.get()) &&
             BN_mul(h.get(), h.get(), q.get(), ctx.get()) && BN_add(r.get(), m2.get(), h.get());
    } else {
        const Bn n = bn(key.parts.at("n")), e = bn(key.parts.at(key.rsa == RsaKind::Public ? "e" : "d"));
        ok = ok && BN_cmp(m.get(), n.get()) < 0 && BN_mod_exp(r.get(), m.get(), e.get(), n.get(), ctx.get());
    }
    std::vector<std::uint8_t> out(k);
    if (!ok || BN_num_bytes(r.get()) > static_cast<int>(k) ||
        BN_bn2binpad(r.get(), out.data(), static_cast<int>(k)) != static_cast<int>(k))
        cryptoThrow(c, "ILLEGAL_VALUE", "the RSA operation failed: the data is not below the modulus");
    return out;
}

// PKCS#1 v1.5 padding: type 1 (signatures, FF bytes) or 2 (encryption, random ones).
std::vector<std::uint8_t> pkcs1Pad(NativeCall& c, const std::vector<std::uint8_t>& data, std::size_t k,
                                   std::uint8_t type)
{
    if (data.size() + 11 > k)
        cryptoThrow(c, "ILLEGAL_USE",
                    std::to_string(data.size()) + " bytes do not fit PKCS#1 in " + std::to_string(k) + " bytes");
    std::vector<std::uint8_t> out{0x00, type};
    const std::size_t fill = k - data.size() - 3;
    for (std::size_t i = 0; i < fill; ++i) {
        std::uint8_t b = 0xFF;
        while (type == 2 && (getrandom(&b, 1, 0) != 1 || b == 0)) {
        }
        out.push_back(b);
    }
    out.push_back(0x00);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::optional<std::vector<std::uint8_t>> pkcs1Unpad(const std::vector<std::uint8_t>& block, std::uint8_t type)
{
    if (block.size() < 11 || block[0] != 0x00 || block[1] != type)
        return std::nullopt;
    std::size_t at = 2;
    while (at < block.size() && block[at] != 0x00) {
        if (type == 1 && block[at] != 0xFF)
            return std::nullopt;
        ++at;
    }
    if (at < 10 || at == block.size())
        return std::nullopt;
    return std::vector<std::uint8_t>(block.begin() + static_cast<long>(at) + 1, block.end());
}

// One pass of a block cipher over whole blocks, no padding.
std::vector<std::uint8_t> blocks(NativeCall& c, Family family, const std::vector<std::uint8_t>& key, bool cbc,
                                 bool encrypt, const std::vector<std::uint8_t>& iv, const std::vector<std::uint8_t>& in)
{
    const EVP_CIPHER* cipher = nullptr;
    std::vector<std::uint8_t> k = key;
    if (family == Family::Des) {
        // Single DES as 3DES with three equal keys, two-key 3DES as K1 K2 K1.
        if (k.size() == 8)
            k.insert(k.end(), key.begin(), key.end()), k.insert(k.end(), key.begin(), key.end());
        else if (k.size() == 16)
            k.insert(k.end(), key.begin(), key.begin() + 8);
        cipher = cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
    } else {
        switch (key.size()) {
        case 16:
            cipher = cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
            break;
        case 24:
            cipher = cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
            break;
        default:
            cipher = cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
        }
    }
    std::vector<std::uint8_t> out(in.size() + 32);
    int written = 0, last = 0;
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                              EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, k.data(), cbc ? iv.data() : nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &last) != 1)
        cryptoThrow(c, "ILLEGAL_USE", "the block cipher failed");
    out.resize(static_cast<std::size_t>(written + last));
    return out;
}

enum class Pad { None, M1, M2, Pkcs5, Pkcs1 };

void pad(std::vector<std::uint8_t>& data, Pad padding, std::size_t block)
{
    if (padding == Pad::M2) {
        data.push_back(0x80);
        while (data.size() % block)
            data.push_back(0);
    } else if (padding == Pad::M1) {
        while (data.size() % block || data.empty())
            data.push_back(0);
    } else if (padding == Pad::Pkcs5) {
        const std::size_t count = block - data.size() % block;
        data.insert(data.end(), count, static_cast<std::uint8_t>(count));
    }
}

// Removes M2 or PKCS#5 padding after decryption; false where there is none.
bool unpad(std::vector<std::uint8_t>& data, Pad padding, std::size_t block)
{
    if (padding == Pad::M2) {
        while (!data.empty() && data.back() == 0)
            data.pop_back();
        if (data.empty() || data.back() != 0x80)
            return false;
        data.pop_back();
    } else if (padding == Pad::Pkcs5) {
        const std::size_t count = data.empty() ? 0 : data.back();
        if (count == 0 || count > block || count > data.size() ||
            !std::all_of(data.end() - static_cast<long>(count), data.end(), [&](std::uint8_t b) { return b == count; }))
            return false;
        data.resize(data.size() - count);
    }
    return true;
}

struct CipherState : NativeState {
    std::int8_t algorithm = 0, cipherAlgorithm = 0, paddingAlgorithm = 0;
    Family family = Family::Des;
    bool cbc = false;
    Pad padding = Pad::None;
    bool initialized = false, encrypt = false;
    std::vector<std::uint8_t> key, iv, firstIv, pending;
    KeyState rsaKey; // an RSA cipher's key, as init found it
    std::size_t block() const { return family == Family::Des ? 8 : 16; }
};

struct CipherKind {
    const char* name;
    Family family;
    bool cbc;
    Pad padding;
};

const CipherKind cipherKinds[] = {
    {"ALG_DES_CBC_NOPAD", Family::Des, true, Pad::None},
    {"ALG_DES_CBC_ISO9797_M1", Family::Des, true, Pad::M1},
    {"ALG_DES_CBC_ISO9797_M2", Family::Des, true, Pad::M2},
    {"ALG_DES_CBC_PKCS5", Family::Des, true, Pad::Pkcs5},
    {"ALG_DES_ECB_NOPAD", Family::Des, false, Pad::None},
    {"ALG_DES_ECB_ISO9797_M1", Family::Des, false, Pad::M1},
    {"ALG_DES_ECB_ISO9797_M2", Family::Des, false, Pad::M2},
    {"ALG_DES_ECB_PKCS5", Family::Des, false, Pad::Pkcs5},
    {"ALG_AES_BLOCK_128_CBC_NOPAD", Family::Aes, true, Pad::None},
    {"ALG_AES_BLOCK_128_ECB_NOPAD", Family::Aes, false, Pad::None},
    {"ALG_AES_CBC_ISO9797_M1", Family::Aes, true, Pad::M1},
    {"ALG_AES_CBC_ISO9797_M2", Family::Aes, true, Pad::M2},
    {"ALG_AES_CBC_PKCS5", Family::Aes, true, Pad::Pkcs5},
    {"ALG_AES_ECB_ISO9797_M1", Family::Aes, false, Pad::M1},
    {"ALG_AES_ECB_ISO9797_M2", Family::Aes, false, Pad::M2},
    {"ALG_AES_ECB_PKCS5", Family::Aes, false, Pad::Pkcs5},
    {"ALG_RSA_PKCS1", Family::Rsa, false, Pad::Pkcs1},
    {"ALG_RSA_NOPAD", Family::Rsa, false, Pad::None},
};

const char* const cipherClass = "javacardx.crypto.Cipher";

// The Cipher constants naming a kind's cipher and padding.
std::string cipherName(const CipherKind& kind)
{
    if (kind.family == Family::Rsa)
        return "CIPHER_RSA";
    return std::string("CIPHER_") + (kind.family == Family::Des ? "DES" : "AES") + (kind.cbc ? "_CBC" : "_ECB");
}

const char* paddingName(const CipherKind& kind)
{
    const char* pads[] = {"PAD_NOPAD", "PAD_ISO9797_M1", "PAD_ISO9797_M2", "PAD_PKCS5", "PAD_PKCS1"};
    return pads[static_cast<int>(kind.padding)];
}

Ref makeCipher(NativeCall& c, const CipherKind& kind, std::int8_t algorithm)
{
    const Ref made = c.vm.newInstance(c.vm.apiClass(cipherClass));
    auto state = std::make_unique<CipherState>();
    state->algorithm = algorithm;
    state->family = kind.family;
    state->cbc = kind.cbc;
    state->padding = kind.padding;
    state->cipherAlgorithm = static_cast<std::int8_t>(constant(cipherClass, cipherName(kind).c_str()));
    state->paddingAlgorithm = static_cast<std::int8_t>(constant(cipherClass, paddingName(kind)));
    c.vm.object(made).native = std::move(state);
    return made;
}

void cipherGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    for (const auto& kind : cipherKinds)
        if (algorithm == constant(cipherClass, kind.name)) {
            c.returnRef(makeCipher(c, kind, static_cast<std::int8_t>(algorithm)));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "Cipher algorithm " + std::to_string(algorithm));
}

void cipherGetInstanceByParts(NativeCall& c)
{
    const std::int16_t cipher = c.shortArg(0), padding = c.shortArg(1);
    for (const auto& kind : cipherKinds) {
        const bool padMatches = padding == constant(cipherClass, paddingName(kind)) ||
                                (kind.padding == Pad::None && padding == constant(cipherClass, "PAD_NULL"));
        if (cipher == constant(cipherClass, cipherName(kind).c_str()) && padMatches) {
            c.returnRef(makeCipher(c, kind, 0));
            return;
        }
    }
    cryptoThrow(c, "NO_SUCH_ALGORITHM",
                "Cipher algorithm " + std::to_string(cipher) + " with padding " + std::to_string(padding));
}

CipherState& cipherOf(NativeCall& c)
{
    auto* state = dynamic_cast<CipherState*>(c.objectArg(0).native.get());
    if (!state)
        cryptoThrow(c, "INVALID_INIT", "a Cipher the simulated card did not make");
    return *state;
}

// init(key, mode[, iv, offset, length]) of a Cipher or a CBC-MAC.
void initWith(NativeCall& c, Family family, bool ivGiven, std::size_t block, bool cbc,
              std::vector<std::uint8_t>& keyOut, std::vector<std::uint8_t>& ivOut)
{
    const KeyState& key = keyOf(c, 1);
    if (key.family != family)
        cryptoThrow(c, "ILLEGAL_VALUE", "a key of another algorithm");
    if (!key.initialized)
        cryptoThrow(c, "UNINITIALIZED_KEY", "a key never set");
    keyOut = key.key;
    ivOut.assign(block, 0);
    if (ivGiven) {
        auto iv = argumentBytes(c, 3, 4, 5);
        if (!cbc || iv.size() != block)
            cryptoThrow(c, "ILLEGAL_VALUE", "an IV of " + std::to_string(iv.size()) + " bytes");
        ivOut = std::move(iv);
    }
}

// The RSA key argument of an init, set and fit for the use: `fits` says
// whether its kind may serve; an IV is refused, RSA taking none.
template <typename Fits> const KeyState& rsaKeyFor(NativeCall& c, bool ivGiven, Fits fits, const char* refusal)
{
    const KeyState& key = keyOf(c, 1);
    if (ivGiven)
        cryptoThrow(c, "ILLEGAL_VALUE", "an IV for RSA");
    if (key.family != Family::Rsa || !fits(key))
        cryptoThrow(c, "ILLEGAL_VALUE", refusal);
    if (!key.initialized)
        cryptoThrow(c, "UNINITIALIZED_KEY", "an RSA key never set");
    return key;
}

void cipherInit(NativeCall& c, bool ivGiven)
{
    CipherState& cipher = cipherOf(c);
    const std::int16_t mode = c.shortArg(2);
    if (mode != constant(cipherClass, "MODE_ENCRYPT") && mode != constant(cipherClass, "MODE_DECRYPT"))
        cryptoThrow(c, "ILLEGAL_VALUE", "Cipher mode " + std::to_string(mode));
    if (cipher.family == Family::Rsa) {
        cipher.rsaKey = rsaKeyFor(
            c, ivGiven, [](const KeyState&) { return true; }, "a key of another algorithm");
    } else {
        initWith(c, cipher.family, ivGiven, cipher.block(), cipher.cbc, cipher.key, cipher.iv);
    }
    cipher.firstIv = cipher.iv;
    cipher.encrypt = mode == constant(cipherClass, "MODE_ENCRYPT");
    cipher.pending.clear();
    cipher.initialized = true;
}

void cipherInitKey(NativeCall& c)
{
    cipherInit(c, false);
}

void cipherInitIv(NativeCall& c)
{
    cipherInit(c, true);
}

// Runs whole blocks of `data` through the cipher, carrying the CBC chain.
std::vector<std::uint8_t> cipherBlocks(NativeCall& c, CipherState& cipher, const std::vector<std::uint8_t>& data)
{
    if (data.empty())
        return {};
    auto out = blocks(c, cipher.family, cipher.key, cipher.cbc, cipher.encrypt, cipher.iv, data);
    if (cipher.cbc) {
        const auto& chain = cipher.encrypt ? out : data;
        cipher.iv.assign(chain.end() - static_cast<long>(cipher.block()), chain.end());
    }
    return out;
}

// RSA works on one block, the modulus's length: PKCS#1 type 2 for a public
// key's encryption, type 1 for a private key's, or no padding at all.
void rsaDoFinal(NativeCall& c, CipherState& cipher, const std::vector<std::uint8_t>& data)
{
    const KeyState& key = cipher.rsaKey;
    const std::size_t k = key.bits / 8;
    const std::uint8_t type = key.rsa == RsaKind::Public ? (cipher.encrypt ? 2 : 1) : (cipher.encrypt ? 1 : 2);
    std::vector<std::uint8_t> out;
    if (cipher.encrypt) {
        if (cipher.padding == Pad::None && data.size() != k)
            cryptoThrow(c, "ILLEGAL_USE",
                        std::to_string(data.size()) + " bytes for RSA without padding, not " + std::to_string(k));
        out = rsaApply(c, key, cipher.padding == Pad::Pkcs1 ? pkcs1Pad(c, data, k, type) : data);
    } else {
        if (data.size() != k)
            cryptoThrow(c, "ILLEGAL_USE", std::to_string(data.size()) + " bytes to decrypt, not " + std::to_string(k));
        out = rsaApply(c, key, data);
        if (cipher.padding == Pad::Pkcs1) {
            const auto unpadded = pkcs1Unpad(out, type);
            if (!unpadded)
                cryptoThrow(c, "ILLEGAL_USE", "the decrypted block has no valid PKCS#1 padding");
            out = *unpadded;
        }
    }
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

void cipherUpdate(NativeCall& c)
{
    CipherState& cipher = cipherOf(c);
    if (!cipher.initialized)
        cryptoThrow(c, "INVALID_INIT", "Cipher.update before init");
    if (cipher.family == Family::Rsa)
        cryptoThrow(c, "ILLEGAL_USE", "Cipher.update of RSA, which takes one block in doFinal");
    auto data = cipher.pending;
    const auto input = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), input.begin(), input.end());
    std::size_t whole = data.size() / cipher.block() * cipher.block();
    // A padded decryption keeps its last block for doFinal, which removes the padding.
    if (!cipher.encrypt && cipher.padding != Pad::None && whole == data.size() && whole > 0)
        whole -= cipher.block();
    cipher.pending.assign(data.begin() + static_cast<long>(whole), data.end());
    data.resize(whole);
    const auto out = cipherBlocks(c, cipher, data);
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

void cipherDoFinal(NativeCall& c)
{
    CipherState& cipher = cipherOf(c);
    if (!cipher.initialized)
        cryptoThrow(c, "INVALID_INIT", "Cipher.doFinal before init");
    auto data = cipher.pending;
    const auto input = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), input.begin(), input.end());
    cipher.pending.clear();
    if (cipher.family == Family::Rsa) {
        rsaDoFinal(c, cipher, data);
        return;
    }
    const std::size_t block = cipher.block();
    if (cipher.encrypt)
        pad(data, cipher.padding, block);
    if (data.size() % block != 0) {
        cipher.iv = cipher.firstIv;
        cryptoThrow(c, "ILLEGAL_USE", std::to_string(data.size()) + " bytes, not whole blocks, and no padding");
    }
    auto out = cipherBlocks(c, cipher, data);
    cipher.iv = cipher.firstIv; // doFinal leaves the cipher as init left it
    if (!cipher.encrypt && !unpad(out, cipher.padding, block))
        cryptoThrow(c, "ILLEGAL_USE", "the decrypted data has no valid padding");
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

void cipherAlgorithm(NativeCall& c)
{
    c.returnShort(cipherOf(c).algorithm);
}
void cipherCipherAlgorithm(NativeCall& c)
{
    c.returnShort(cipherOf(c).cipherAlgorithm);
}
void cipherPaddingAlgorithm(NativeCall& c)
{
    c.returnShort(cipherOf(c).paddingAlgorithm);
}

// Signature: MACs.

const char* const signatureClass = "javacard.security.Signature";

enum class Mac { Cbc, Cmac, Hmac, RsaPkcs1 };

struct MacKind {
    const char* name;
    Mac mac;
    Family family;
    Pad padding;
    unsigned length;    // bytes of the MAC
    const char* digest; // HMAC's
};

const MacKind macKinds[] = {
    {"ALG_DES_MAC4_NOPAD", Mac::Cbc, Family::Des, Pad::None, 4, nullptr},
    {"ALG_DES_MAC8_NOPAD", Mac::Cbc, Family::Des, Pad::None, 8, nullptr},
    {"ALG_DES_MAC4_ISO9797_M1", Mac::Cbc, Family::Des, Pad::M1, 4, nullptr},
    {"ALG_DES_MAC8_ISO9797_M1", Mac::Cbc, Family::Des, Pad::M1, 8, nullptr},
    {"ALG_DES_MAC4_ISO9797_M2", Mac::Cbc, Family::Des, Pad::M2, 4, nullptr},
    {"ALG_DES_MAC8_ISO9797_M2", Mac::Cbc, Family::Des, Pad::M2, 8, nullptr},
    {"ALG_DES_MAC4_PKCS5", Mac::Cbc, Family::Des, Pad::Pkcs5, 4, nullptr},
    {"ALG_DES_MAC8_PKCS5", Mac::Cbc, Family::Des, Pad::Pkcs5, 8, nullptr},
    {"ALG_AES_MAC_128_NOPAD", Mac::Cbc, Family::Aes, Pad::None, 16, nullptr},
    {"ALG_AES_CMAC_128", Mac::Cmac, Family::Aes, Pad::None, 16, nullptr},
    {"ALG_HMAC_SHA1", Mac::Hmac, Family::Hmac, Pad::None, 20, "SHA1"},
    {"ALG_HMAC_SHA_256", Mac::Hmac, Family::Hmac, Pad::None, 32, "SHA256"},
    {"ALG_HMAC_SHA_384", Mac::Hmac, Family::Hmac, Pad::None, 48, "SHA384"},
    {"ALG_HMAC_SHA_512", Mac::Hmac, Family::Hmac, Pad::None, 64, "SHA512"},
    {"ALG_RSA_SHA_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA1"},
    {"ALG_RSA_SHA_224_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA224"},
    {"ALG_RSA_SHA_256_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA256"},
    {"ALG_RSA_SHA_384_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA384"},
    {"ALG_RSA_SHA_512_PKCS1", Mac::RsaPkcs1, Family::Rsa, Pad::Pkcs1, 0, "SHA512"},
};

// The DER DigestInfo that a PKCS#1 v1.5 signature puts before the hash.
std::vector<std::uint8_t> digestInfo(const std::string& digest, const std::vector<std::uint8_t>& hash)
{
    static const std::map<std::string, const char*> prefixes = {{"SHA1", "3021300906052B0E03021A05000414"},
                                                                {"SHA224", "302D300D06096086480165030402040500041C"},
                                                                {"SHA256", "3031300D060960864801650304020105000420"},
                                                                {"SHA384", "3041300D060960864801650304020205000430"},
                                                                {"SHA512", "3051300D060960864801650304020305000440"}};
    std::vector<std::uint8_t> info;
    const std::string hex = prefixes.at(digest);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        info.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    info.insert(info.end(), hash.begin(), hash.end());
    return info;
}

std::vector<std::uint8_t> hashOf(NativeCall& c, const char* digest, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    const EVP_MD* md = EVP_get_digestbyname(digest);
    if (!md || EVP_Digest(data.data(), data.size(), hash.data(), &length, md, nullptr) != 1)
        cryptoThrow(c, "NO_SUCH_ALGORITHM", std::string("the digest ") + digest);
    hash.resize(length);
    return hash;
}

struct SignatureState : NativeState {
    std::int8_t algorithm = 0;
    const MacKind* kind = nullptr;
    bool initialized = false, signing = false;
    std::vector<std::uint8_t> key, iv, data;
    KeyState rsaKey; // an RSA signature's key, as init found it
};

void signatureGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    for (const auto& kind : macKinds)
        if (algorithm == constant(signatureClass, kind.name)) {
            const Ref made = c.vm.newInstance(c.vm.apiClass(signatureClass));
            auto state = std::make_unique<SignatureState>();
            state->algorithm = static_cast<std::int8_t>(algorithm);
            state->kind = &kind;
            c.vm.object(made).native = std::move(state);
            c.returnRef(made);
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "Signature algorithm " + std::to_string(algorithm));
}

SignatureState& signatureOf(NativeCall& c)
{
    auto* state = dynamic_cast<SignatureState*>(c.objectArg(0).native.get());
    if (!state)
        cryptoThrow(c, "INVALID_INIT", "a Signature the simulated card did not make");
    return *state;
}

void signatureInit(NativeCall& c, bool ivGiven)
{
    SignatureState& signature = signatureOf(c);
    const std::int16_t mode = c.shortArg(2);
    if (mode != constant(signatureClass, "MODE_SIGN") && mode != constant(signatureClass, "MODE_VERIFY"))
        cryptoThrow(c, "ILLEGAL_VALUE", "Signature mode " + std::to_string(mode));
    const MacKind& kind = *signature.kind;
    const KeyState& key = keyOf(c, 1);
    if (kind.mac == Mac::RsaPkcs1) {
        const bool signing = mode == constant(signatureClass, "MODE_SIGN");
        signature.rsaKey = rsaKeyFor(
            c, ivGiven, [&](const KeyState& k) { return (k.rsa == RsaKind::Public) != signing; },
            signing ? "a key that cannot sign" : "a key that cannot verify");
        signature.signing = signing;
        signature.data.clear();
        signature.initialized = true;
        return;
    }
    // HMAC takes an HMAC key, or a generic secret one.
    const Family family = kind.family == Family::Hmac && key.family == Family::Generic ? Family::Generic : kind.family;
    initWith(c, family, ivGiven, kind.family == Family::Des ? 8 : 16, kind.mac == Mac::Cbc, signature.key,
             signature.iv);
    signature.signing = mode == constant(signatureClass, "MODE_SIGN");
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

std::vector<std::uint8_t> macOf(NativeCall& c, SignatureState& signature, std::vector<std::uint8_t> data)
{
    const MacKind& kind = *signature.kind;
    if (kind.mac == Mac::RsaPkcs1)
        return rsaApply(
            c, signature.rsaKey,
            pkcs1Pad(c, digestInfo(kind.digest, hashOf(c, kind.digest, data)), signature.rsaKey.bits / 8, 1));
    if (kind.mac == Mac::Cbc) {
        const std::size_t block = kind.family == Family::Des ? 8 : 16;
        pad(data, kind.padding, block);
        if (data.size() % block != 0 || data.empty())
            cryptoThrow(c, "ILLEGAL_USE", std::to_string(data.size()) + " bytes, not whole blocks, and no padding");
        const auto out = blocks(c, kind.family, signature.key, true, true, signature.iv, data);
        return {out.end() - static_cast<long>(block), out.end() - static_cast<long>(block) + kind.length};
    }
    std::vector<std::uint8_t> mac(EVP_MAX_MD_SIZE + 16);
    std::size_t length = 0;
    const char* cipher = signature.key.size() == 16   ? "AES-128-CBC"
                         : signature.key.size() == 24 ? "AES-192-CBC"
                                                      : "AES-256-CBC";
    if (!EVP_Q_mac(nullptr, kind.mac == Mac::Hmac ? "HMAC" : "CMAC", nullptr,
                   kind.mac == Mac::Hmac ? kind.digest : cipher, nullptr, signature.key.data(), signature.key.size(),
                   data.data(), data.size(), mac.data(), mac.size(), &length))
        cryptoThrow(c, "ILLEGAL_USE", "the MAC could not be computed");
    mac.resize(std::min<std::size_t>(length, kind.length));
    return mac;
}

void signatureUpdate(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    if (!signature.initialized)
        cryptoThrow(c, "INVALID_INIT", "Signature.update before init");
    const auto bytes = argumentBytes(c, 1, 2, 3);
    signature.data.insert(signature.data.end(), bytes.begin(), bytes.end());
}

void signatureSign(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    if (!signature.initialized || !signature.signing)
        cryptoThrow(c, "INVALID_INIT", "Signature.sign without init for signing");
    auto data = signature.data;
    const auto bytes = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), bytes.begin(), bytes.end());
    signature.data.clear();
    const auto mac = macOf(c, signature, data);
    writeArgumentBytes(c, 4, 5, mac);
    c.returnShort(static_cast<std::int16_t>(mac.size()));
}

void signatureVerify(NativeCall& c)
{
    SignatureState& signature = signatureOf(c);
    if (!signature.initialized || signature.signing)
        cryptoThrow(c, "INVALID_INIT", "Signature.verify without init for verifying");
    auto data = signature.data;
    const auto bytes = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), bytes.begin(), bytes.end());
    signature.data.clear();
    const auto given = argumentBytes(c, 4, 5, 6);
    if (signature.kind->mac == Mac::RsaPkcs1) {
        // The public key's operation on the signature, whose padding must hold this data's hash.
        const KeyState& key = signature.rsaKey;
        if (given.size() != key.bits / 8) {
            c.returnShort(0);
            return;
        }
        const auto expected = digestInfo(signature.kind->digest, hashOf(c, signature.kind->digest, data));
        std::vector<std::uint8_t> block;
        try {
            block = rsaApply(c, key, given);
        } catch (const Thrown&) {
            c.returnShort(0); // a signature not below the modulus verifies nothing
            return;
        }
        const auto unpadded = pkcs1Unpad(block, 1);
        c.returnShort(unpadded && *unpadded == expected ? 1 : 0);
        return;
    }
    const auto mac = macOf(c, signature, data);
    c.returnShort(given == mac ? 1 : 0);
}

void signatureLength(NativeCall& c)
{
    const SignatureState& signature = signatureOf(c);
    if (signature.kind->mac == Mac::RsaPkcs1 && !signature.initialized)
        cryptoThrow(c, "INVALID_INIT", "Signature.getLength of RSA before init");
    c.returnShort(static_cast<std::int16_t>(signature.kind->mac == Mac::RsaPkcs1 ? signature.rsaKey.bits / 8
                                                                                 : signature.kind->length));
}

void signatureAlgorithm(NativeCall& c)
{
    c.returnShort(signatureOf(c).algorithm);
}

// KeyPair: its two keys are kept in its two cells, where object deletion
// sees them.
const char* const keyPairClass = "javacard.security.KeyPair";

void keyPairInit(NativeCall& c)
{
    Object& self = c.objectArg(0);
    const std::int16_t algorithm = c.shortArg(1);
    const auto bits = static_cast<std::uint16_t>(c.shortArg(2));
    const bool crt = algorithm == constant(keyPairClass, "ALG_RSA_CRT");
    if (!crt && algorithm != constant(keyPairClass, "ALG_RSA"))
        cryptoThrow(c, "NO_SUCH_ALGORITHM", "KeyPair algorithm " + std::to_string(algorithm));
    if (!validLength(Family::Rsa, bits))
        cryptoThrow(c, "NO_SUCH_ALGORITHM", "an RSA KeyPair of " + std::to_string(bits) + " bits");
    if (self.cells.size() < 2)
        c.vm.fault("a KeyPair without room for its keys");
    const Ref publicKey = makeKey(c, Family::Rsa, static_cast<std::int8_t>(constant(keyBuilder, "TYPE_RSA_PUBLIC")),
                                  bits, std::nullopt, RsaKind::Public);
    const Ref privateKey =
        makeKey(c, Family::Rsa,
                static_cast<std::int8_t>(constant(keyBuilder, crt ? "TYPE_RSA_CRT_PRIVATE" : "TYPE_RSA_PRIVATE")), bits,
                std::nullopt, crt ? RsaKind::Crt : RsaKind::Private);
    c.vm.setCell(c.refArg(0), 0, {static_cast<std::int16_t>(publicKey), Kind::Reference});
    c.vm.setCell(c.refArg(0), 1, {static_cast<std::int16_t>(privateKey), Kind::Reference});
}

void keyPairInitKeys(NativeCall& c)
{
    Object& self = c.objectArg(0);
    if (self.cells.size() < 2)
        c.vm.fault("a KeyPair without room for its keys");
    const KeyState& publicKey = keyOf(c, 1);
    const KeyState& privateKey = keyOf(c, 2);
    if (publicKey.family != Family::Rsa || publicKey.rsa != RsaKind::Public || privateKey.family != Family::Rsa ||
        privateKey.rsa == RsaKind::Public || publicKey.bits != privateKey.bits)
        cryptoThrow(c, "ILLEGAL_VALUE", "a KeyPair of keys that do not pair");
    c.vm.setCell(c.refArg(0), 0, {static_cast<std::int16_t>(c.refArg(1)), Kind::Reference});
    c.vm.setCell(c.refArg(0), 1, {static_cast<std::int16_t>(c.refArg(2)), Kind::Reference});
}

std::vector<std::uint8_t> bnParam(const EVP_PKEY* pkey, const char* name)
{
    BIGNUM* value = nullptr;
    std::vector<std::uint8_t> bytes;
    if (EVP_PKEY_get_bn_param(pkey, name, &value) == 1) {
        bytes.resize(static_cast<std::size_t>(BN_num_bytes(value)));
        BN_bn2bin(value, bytes.data());
    }
    BN_clear_free(value);
    return bytes;
}

void keyPairGenerate(NativeCall& c)
{
    Object& self = c.objectArg(0);
    if (self.cells.size() < 2 || self.cells[0].kind != Kind::Reference || self.cells[1].kind != Kind::Reference)
        cryptoThrow(c, "ILLEGAL_VALUE", "a KeyPair without keys");
    KeyState& publicKey = *dynamic_cast<KeyState*>(c.vm.object(static_cast<Ref>(self.cells[0].value)).native.get());
    KeyState& privateKey = *dynamic_cast<KeyState*>(c.vm.object(static_cast<Ref>(self.cells[1].value)).native.get());
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* made = nullptr;
    bool ok = ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(publicKey.bits)) == 1;
    // A public exponent the applet set is the one the pair gets.
    if (ok && publicKey.parts.count("e")) {
        const Bn e = bn(publicKey.parts.at("e"));
        ok = EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1;
    }
    ok = ok && EVP_PKEY_generate(ctx.get(), &made) == 1;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(made, EVP_PKEY_free);
    if (!ok)
        cryptoThrow(c, "ILLEGAL_VALUE", "the RSA key pair could not be made");
    publicKey.parts = {{"n", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_N)},
                       {"e", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_E)}};
    if (privateKey.rsa == RsaKind::Crt)
        privateKey.parts = {{"p", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1)},
                            {"q", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2)},
                            {"dp", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1)},
                            {"dq", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2)},
                            {"qinv", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1)}};
    else
        privateKey.parts = {{"n", publicKey.parts.at("n")}, {"d", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_D)}};
    publicKey.checkRsa();
    privateKey.checkRsa();
}

void keyPairKey(NativeCall& c, std::size_t cell)
{
    const Object& self = c.objectArg(0);
    c.returnRef(cell < self.cells.size() && self.cells[cell].kind == Kind::Reference
                    ? static_cast<Ref>(self.cells[cell].value)
                    : nullRef);
}

void keyPairPublic(NativeCall& c)
{
    keyPairKey(c, 0);
}

void keyPairPrivate(NativeCall& c)
{
    keyPairKey(c, 1);
}

const std::unordered_map<std::string, Native>& cryptoNatives()
{
    static const std::unordered_map<std::string, Native> table = [] {
        std::unordered_map<std::string, Native> t = {
            {"javacard.security.KeyBuilder.buildKey(BSZ)Ljavacard/security/Key;", buildKey},
            {"javacard.security.KeyBuilder.buildKey(BBSZ)Ljavacard/security/Key;", buildKeyInMemory},
            {"javacardx.crypto.Cipher.getInstance(BZ)Ljavacardx/crypto/Cipher;", cipherGetInstance},
            {"javacardx.crypto.Cipher.getInstance(BBZ)Ljavacardx/crypto/Cipher;", cipherGetInstanceByParts},
            {"javacardx.crypto.Cipher.init(Ljavacard/security/Key;B)V", cipherInitKey},
            {"javacardx.crypto.Cipher.init(Ljavacard/security/Key;B[BSS)V", cipherInitIv},
            {"javacardx.crypto.Cipher.update([BSS[BS)S", cipherUpdate},
            {"javacardx.crypto.Cipher.doFinal([BSS[BS)S", cipherDoFinal},
            {"javacardx.crypto.Cipher.getAlgorithm()B", cipherAlgorithm},
            {"javacardx.crypto.Cipher.getCipherAlgorithm()B", cipherCipherAlgorithm},
            {"javacardx.crypto.Cipher.getPaddingAlgorithm()B", cipherPaddingAlgorithm},
            {"javacard.security.Signature.getInstance(BZ)Ljavacard/security/Signature;", signatureGetInstance},
            {"javacard.security.Signature.init(Ljavacard/security/Key;B)V", signatureInitKey},
            {"javacard.security.Signature.init(Ljavacard/security/Key;B[BSS)V", signatureInitIv},
            {"javacard.security.Signature.update([BSS)V", signatureUpdate},
            {"javacard.security.Signature.sign([BSS[BS)S", signatureSign},
            {"javacard.security.Signature.verify([BSS[BSS)Z", signatureVerify},
            {"javacard.security.Signature.getLength()S", signatureLength},
            {"javacard.security.Signature.getAlgorithm()B", signatureAlgorithm},
        };
        const std::string pair = "javacard.security.KeyPair.";
        t[pair + "<init>(BS)V"] = keyPairInit;
        t[pair + "<init>(Ljavacard/security/PublicKey;Ljavacard/security/PrivateKey;)V"] = keyPairInitKeys;
        t[pair + "genKeyPair()V"] = keyPairGenerate;
        t[pair + "getPublic()Ljavacard/security/PublicKey;"] = keyPairPublic;
        t[pair + "getPrivate()Ljavacard/security/PrivateKey;"] = keyPairPrivate;
        for (const char* key : {"RSAPublicKey", "RSAPrivateKey"}) {
            const std::string prefix = std::string("javacard.security.") + key + ".";
            const bool isPublic = std::string(key) == "RSAPublicKey";
            t[prefix + "setModulus([BSS)V"] = rsaSetModulus;
            t[prefix + "getModulus([BS)S"] = rsaGetModulus;
            t[prefix + "setExponent([BSS)V"] = isPublic ? rsaSetPublicExponent : rsaSetPrivateExponent;
            t[prefix + "getExponent([BS)S"] = isPublic ? rsaGetPublicExponent : rsaGetPrivateExponent;
        }
        const std::string crt = "javacard.security.RSAPrivateCrtKey.";
        t[crt + "setP([BSS)V"] = rsaSetP;
        t[crt + "getP([BS)S"] = rsaGetP;
        t[crt + "setQ([BSS)V"] = rsaSetQ;
        t[crt + "getQ([BS)S"] = rsaGetQ;
        t[crt + "setDP1([BSS)V"] = rsaSetDp;
        t[crt + "getDP1([BS)S"] = rsaGetDp;
        t[crt + "setDQ1([BSS)V"] = rsaSetDq;
        t[crt + "getDQ1([BS)S"] = rsaGetDq;
        t[crt + "setPQ([BSS)V"] = rsaSetQinv;
        t[crt + "getPQ([BS)S"] = rsaGetQinv;
        for (const char* key : {"Key", "SecretKey", "DESKey", "AESKey", "HMACKey", "GenericSecretKey", "PublicKey",
                                "PrivateKey", "RSAPublicKey", "RSAPrivateKey", "RSAPrivateCrtKey"}) {
            const std::string prefix = std::string("javacard.security.") + key + ".";
            t[prefix + "clearKey()V"] = keyClear;
            t[prefix + "getSize()S"] = keySize;
            t[prefix + "getType()B"] = keyType;
            t[prefix + "isInitialized()Z"] = keyInitialized;
            t[prefix + "setKey([BS)V"] = keySet;
            t[prefix + "setKey([BSS)V"] = keySetLength;
            t[prefix + "getKey([BS)B"] = keyGet;
            t[prefix + "getKey([BS)S"] = keyGet;
        }
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

} // namespace tolvane::runtime
