// The symmetric cryptography of the API, served over libcrypto's EVP: DES,
// 3DES, AES, HMAC and generic secret keys; Cipher in ECB and CBC with no
// padding, ISO 9797 methods 1 and 2, and PKCS#5; Signature as the DES and AES
// CBC-MACs, AES-CMAC and HMAC. A key's bytes live in its object alone and are
// never named in a message.

#include "core/runtime/api_table.h"
#include "core/runtime/native_support.h"

#include <openssl/evp.h>

#include <algorithm>
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

enum class Family { Des, Aes, Hmac, Generic };

struct KeyState : NativeState {
    Family family = Family::Des;
    std::int8_t type = 0;
    unsigned bits = 0;
    std::vector<std::uint8_t> key;
    bool initialized = false;
    std::optional<Memory> clearedOn; // a transient key's event

    void clear()
    {
        std::fill(key.begin(), key.end(), 0);
        initialized = false;
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

Ref makeKey(NativeCall& c, Family family, std::int8_t type, unsigned bits, std::optional<Memory> clearedOn)
{
    const char* names[] = {"javacard.security.DESKey", "javacard.security.AESKey", "javacard.security.HMACKey",
                           "javacard.security.GenericSecretKey"};
    const Class* cls = c.vm.apiClass(names[static_cast<int>(family)]);
    const Ref made = c.vm.newInstance(cls);
    auto state = std::make_unique<KeyState>();
    state->family = family;
    state->type = type;
    state->bits = bits;
    state->key.assign(bits / 8, 0);
    state->clearedOn = clearedOn;
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
    };
    static const Kind kinds[] = {
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
            c.returnRef(makeKey(c, kind.family, static_cast<std::int8_t>(type), bits, kind.clearedOn));
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

enum class Pad { None, M1, M2, Pkcs5 };

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
};

const char* const cipherClass = "javacardx.crypto.Cipher";

Ref makeCipher(NativeCall& c, const CipherKind& kind, std::int8_t algorithm)
{
    const Ref made = c.vm.newInstance(c.vm.apiClass(cipherClass));
    auto state = std::make_unique<CipherState>();
    state->algorithm = algorithm;
    state->family = kind.family;
    state->cbc = kind.cbc;
    state->padding = kind.padding;
    const std::string family = kind.family == Family::Des ? "DES" : "AES";
    state->cipherAlgorithm =
        static_cast<std::int8_t>(constant(cipherClass, ("CIPHER_" + family + (kind.cbc ? "_CBC" : "_ECB")).c_str()));
    const char* pads[] = {"PAD_NOPAD", "PAD_ISO9797_M1", "PAD_ISO9797_M2", "PAD_PKCS5"};
    state->paddingAlgorithm = static_cast<std::int8_t>(constant(cipherClass, pads[static_cast<int>(kind.padding)]));
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
        const std::string family = kind.family == Family::Des ? "DES" : "AES";
        const char* pads[] = {"PAD_NOPAD", "PAD_ISO9797_M1", "PAD_ISO9797_M2", "PAD_PKCS5"};
        const bool padMatches = padding == constant(cipherClass, pads[static_cast<int>(kind.padding)]) ||
                                (kind.padding == Pad::None && padding == constant(cipherClass, "PAD_NULL"));
        if (cipher == constant(cipherClass, ("CIPHER_" + family + (kind.cbc ? "_CBC" : "_ECB")).c_str()) &&
            padMatches) {
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

void cipherInit(NativeCall& c, bool ivGiven)
{
    CipherState& cipher = cipherOf(c);
    const std::int16_t mode = c.shortArg(2);
    if (mode != constant(cipherClass, "MODE_ENCRYPT") && mode != constant(cipherClass, "MODE_DECRYPT"))
        cryptoThrow(c, "ILLEGAL_VALUE", "Cipher mode " + std::to_string(mode));
    initWith(c, cipher.family, ivGiven, cipher.block(), cipher.cbc, cipher.key, cipher.iv);
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

void cipherUpdate(NativeCall& c)
{
    CipherState& cipher = cipherOf(c);
    if (!cipher.initialized)
        cryptoThrow(c, "INVALID_INIT", "Cipher.update before init");
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

enum class Mac { Cbc, Cmac, Hmac };

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
};

struct SignatureState : NativeState {
    std::int8_t algorithm = 0;
    const MacKind* kind = nullptr;
    bool initialized = false, signing = false;
    std::vector<std::uint8_t> key, iv, data;
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
    const auto mac = macOf(c, signature, data);
    c.returnShort(given == mac ? 1 : 0);
}

void signatureLength(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(signatureOf(c).kind->length));
}

void signatureAlgorithm(NativeCall& c)
{
    c.returnShort(signatureOf(c).algorithm);
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
        for (const char* key : {"Key", "SecretKey", "DESKey", "AESKey", "HMACKey", "GenericSecretKey"}) {
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
