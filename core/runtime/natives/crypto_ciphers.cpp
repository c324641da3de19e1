// Cipher: DES/3DES and AES in ECB and CBC with no padding, ISO 9797 methods
// 1 and 2 and PKCS#5; RSA with PKCS#1 v1.5, OAEP or no padding; and
// AEADCipher's AES-GCM and AES-CCM. Cipher.OneShot serves the same.

#include "core/runtime/natives/crypto_support.h"

#include <sys/random.h>

#include <algorithm>

namespace tolvane::runtime::crypto {

Bytes blockCipher(NativeCall& c, Family family, const Bytes& key, bool cbc, bool encrypt, const Bytes& iv,
                  const Bytes& in)
{
    const EVP_CIPHER* cipher = nullptr;
    Bytes k = key;
    if (family == Family::Des) {
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
    Bytes out(in.size() + 32);
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

void pad(Bytes& data, Pad padding, std::size_t block)
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

bool unpad(Bytes& data, Pad padding, std::size_t block)
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

Bytes pkcs1Pad(NativeCall& c, const Bytes& data, std::size_t k, std::uint8_t type)
{
    if (data.size() + 11 > k)
        cryptoThrow(c, "ILLEGAL_USE",
                    std::to_string(data.size()) + " bytes do not fit PKCS#1 in " + std::to_string(k) + " bytes");
    Bytes out{0x00, type};
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

std::optional<Bytes> pkcs1Unpad(const Bytes& block, std::uint8_t type)
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
    return Bytes(block.begin() + static_cast<long>(at) + 1, block.end());
}

void initSecret(NativeCall& c, Family family, bool ivGiven, std::size_t block, bool cbc, Bytes& keyOut, Bytes& ivOut)
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

const KeyState& asymmetricKey(NativeCall& c, bool ivGiven, Family family, std::optional<bool> wantPublic,
                              const char* refusal)
{
    const KeyState& key = keyOf(c, 1);
    if (ivGiven)
        cryptoThrow(c, "ILLEGAL_VALUE", family == Family::Rsa ? "an IV for RSA" : "an IV for EC");
    if (key.family != family || (wantPublic && (key.role == Role::Public) != *wantPublic))
        cryptoThrow(c, "ILLEGAL_VALUE", refusal);
    if (!key.initialized)
        cryptoThrow(c, "UNINITIALIZED_KEY", family == Family::Rsa ? "an RSA key never set" : "an EC key never set");
    return key;
}

namespace {

const char* const cipherClass = "javacardx.crypto.Cipher";
const char* const aeadClass = "javacardx.crypto.AEADCipher";

// RSA-OAEP's encoding (PKCS#1 v2.2, SHA-1 and MGF1 with SHA-1, no label).
Bytes oaepEncode(NativeCall& c, const Bytes& message, std::size_t k)
{
    const std::size_t h = 20;
    if (message.size() + 2 * h + 2 > k)
        cryptoThrow(c, "ILLEGAL_USE",
                    std::to_string(message.size()) + " bytes do not fit OAEP in " + std::to_string(k) + " bytes");
    Bytes db = hashOf(c, "SHA1", {});
    db.resize(k - message.size() - h - 2, 0);
    db.push_back(0x01);
    db.insert(db.end(), message.begin(), message.end());
    Bytes seed(h);
    if (getrandom(seed.data(), seed.size(), 0) != static_cast<ssize_t>(seed.size()))
        cryptoThrow(c, "ILLEGAL_USE", "no random bytes for OAEP");
    const Bytes dbMask = mgf1(c, "SHA1", seed, db.size());
    for (std::size_t i = 0; i < db.size(); ++i)
        db[i] ^= dbMask[i];
    const Bytes seedMask = mgf1(c, "SHA1", db, h);
    for (std::size_t i = 0; i < h; ++i)
        seed[i] ^= seedMask[i];
    Bytes out{0x00};
    out.insert(out.end(), seed.begin(), seed.end());
    out.insert(out.end(), db.begin(), db.end());
    return out;
}

std::optional<Bytes> oaepDecode(NativeCall& c, const Bytes& block)
{
    const std::size_t h = 20;
    if (block.size() < 2 * h + 2 || block[0] != 0x00)
        return std::nullopt;
    Bytes seed(block.begin() + 1, block.begin() + 1 + h), db(block.begin() + 1 + h, block.end());
    const Bytes seedMask = mgf1(c, "SHA1", db, h);
    for (std::size_t i = 0; i < h; ++i)
        seed[i] ^= seedMask[i];
    const Bytes dbMask = mgf1(c, "SHA1", seed, db.size());
    for (std::size_t i = 0; i < db.size(); ++i)
        db[i] ^= dbMask[i];
    const Bytes label = hashOf(c, "SHA1", {});
    if (!std::equal(label.begin(), label.end(), db.begin()))
        return std::nullopt;
    auto one = std::find_if(db.begin() + static_cast<long>(h), db.end(), [](std::uint8_t b) { return b != 0; });
    if (one == db.end() || *one != 0x01)
        return std::nullopt;
    return Bytes(one + 1, db.end());
}

enum class Mode { Ecb, Cbc, Rsa, Gcm, Ccm };

struct CipherKind {
    const char* name;
    Family family;
    Mode mode;
    Pad padding;
    const char* cipher;              // its CIPHER_ constant
    const char* padName;             // its PAD_ constant
    const char* owner = cipherClass; // the class whose constant `name` is
};

const CipherKind cipherKinds[] = {
    {"ALG_DES_CBC_NOPAD", Family::Des, Mode::Cbc, Pad::None, "CIPHER_DES_CBC", "PAD_NOPAD"},
    {"ALG_DES_CBC_ISO9797_M1", Family::Des, Mode::Cbc, Pad::M1, "CIPHER_DES_CBC", "PAD_ISO9797_M1"},
    {"ALG_DES_CBC_ISO9797_M2", Family::Des, Mode::Cbc, Pad::M2, "CIPHER_DES_CBC", "PAD_ISO9797_M2"},
    {"ALG_DES_CBC_PKCS5", Family::Des, Mode::Cbc, Pad::Pkcs5, "CIPHER_DES_CBC", "PAD_PKCS5"},
    {"ALG_DES_ECB_NOPAD", Family::Des, Mode::Ecb, Pad::None, "CIPHER_DES_ECB", "PAD_NOPAD"},
    {"ALG_DES_ECB_ISO9797_M1", Family::Des, Mode::Ecb, Pad::M1, "CIPHER_DES_ECB", "PAD_ISO9797_M1"},
    {"ALG_DES_ECB_ISO9797_M2", Family::Des, Mode::Ecb, Pad::M2, "CIPHER_DES_ECB", "PAD_ISO9797_M2"},
    {"ALG_DES_ECB_PKCS5", Family::Des, Mode::Ecb, Pad::Pkcs5, "CIPHER_DES_ECB", "PAD_PKCS5"},
    {"ALG_AES_BLOCK_128_CBC_NOPAD", Family::Aes, Mode::Cbc, Pad::None, "CIPHER_AES_CBC", "PAD_NOPAD"},
    {"ALG_AES_BLOCK_128_ECB_NOPAD", Family::Aes, Mode::Ecb, Pad::None, "CIPHER_AES_ECB", "PAD_NOPAD"},
    {"ALG_AES_BLOCK_192_CBC_NOPAD", Family::Aes, Mode::Cbc, Pad::None, "CIPHER_AES_CBC", "PAD_NOPAD"},
    {"ALG_AES_BLOCK_192_ECB_NOPAD", Family::Aes, Mode::Ecb, Pad::None, "CIPHER_AES_ECB", "PAD_NOPAD"},
    {"ALG_AES_BLOCK_256_CBC_NOPAD", Family::Aes, Mode::Cbc, Pad::None, "CIPHER_AES_CBC", "PAD_NOPAD"},
    {"ALG_AES_BLOCK_256_ECB_NOPAD", Family::Aes, Mode::Ecb, Pad::None, "CIPHER_AES_ECB", "PAD_NOPAD"},
    {"ALG_AES_CBC_ISO9797_M1", Family::Aes, Mode::Cbc, Pad::M1, "CIPHER_AES_CBC", "PAD_ISO9797_M1"},
    {"ALG_AES_CBC_ISO9797_M2", Family::Aes, Mode::Cbc, Pad::M2, "CIPHER_AES_CBC", "PAD_ISO9797_M2"},
    {"ALG_AES_CBC_PKCS5", Family::Aes, Mode::Cbc, Pad::Pkcs5, "CIPHER_AES_CBC", "PAD_PKCS5"},
    {"ALG_AES_ECB_ISO9797_M1", Family::Aes, Mode::Ecb, Pad::M1, "CIPHER_AES_ECB", "PAD_ISO9797_M1"},
    {"ALG_AES_ECB_ISO9797_M2", Family::Aes, Mode::Ecb, Pad::M2, "CIPHER_AES_ECB", "PAD_ISO9797_M2"},
    {"ALG_AES_ECB_PKCS5", Family::Aes, Mode::Ecb, Pad::Pkcs5, "CIPHER_AES_ECB", "PAD_PKCS5"},
    {"ALG_RSA_PKCS1", Family::Rsa, Mode::Rsa, Pad::Pkcs1, "CIPHER_RSA", "PAD_PKCS1"},
    {"ALG_RSA_PKCS1_OAEP", Family::Rsa, Mode::Rsa, Pad::Oaep, "CIPHER_RSA", "PAD_PKCS1_OAEP"},
    {"ALG_RSA_NOPAD", Family::Rsa, Mode::Rsa, Pad::None, "CIPHER_RSA", "PAD_NOPAD"},
    {"ALG_AES_GCM", Family::Aes, Mode::Gcm, Pad::None, "CIPHER_AES_GCM", "PAD_NULL", aeadClass},
    {"ALG_AES_CCM", Family::Aes, Mode::Ccm, Pad::None, "CIPHER_AES_CCM", "PAD_NULL", aeadClass},
};

std::int8_t cipherConstant(const char* name)
{
    const bool aead = std::string(name) == "CIPHER_AES_GCM" || std::string(name) == "CIPHER_AES_CCM";
    return static_cast<std::int8_t>(constant(aead ? aeadClass : cipherClass, name));
}

std::uint8_t kindIndex(const CipherKind* kind)
{
    return static_cast<std::uint8_t>(kind - cipherKinds);
}

const CipherKind* kindAt(std::uint8_t index)
{
    if (index >= std::size(cipherKinds))
        throw SnapshotError("a cipher of no kind the card has");
    return &cipherKinds[index];
}

struct CipherState : NativeState {
    const CipherKind* kind = nullptr;
    std::int8_t algorithm = 0;
    bool initialized = false, encrypt = false;
    Bytes key, iv, firstIv, pending;
    KeyState rsaKey; // an RSA cipher's key, as init found it
    std::size_t block() const { return kind->family == Family::Des ? 8 : 16; }
    // A reset leaves the cipher as its last init did.
    void reset() override
    {
        pending.clear();
        iv = firstIv;
    }
    const char* stateKind() const override { return "cipher"; }
    // As a reset leaves it: its last init, no data pending.
    void save(StateWriter& out) const override
    {
        out.u8(kindIndex(kind));
        out.u8(static_cast<std::uint8_t>(algorithm));
        out.u8(static_cast<std::uint8_t>((initialized ? 1 : 0) | (encrypt ? 2 : 0)));
        out.bytes(key);
        out.bytes(firstIv);
        rsaKey.save(out);
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<CipherState>();
        state->kind = kindAt(in.u8());
        state->algorithm = static_cast<std::int8_t>(in.u8());
        const std::uint8_t flags = in.u8();
        state->initialized = (flags & 1) != 0;
        state->encrypt = (flags & 2) != 0;
        state->key = in.bytes();
        state->firstIv = in.bytes();
        state->iv = state->firstIv;
        KeyState::load(in, state->rsaKey);
        return state;
    }
};

// An AEAD cipher's operation: everything up to doFinal is kept, then sealed
// or opened at once; the tag stays for retrieveTag or verifyTag.
struct AeadState : NativeState {
    const CipherKind* kind = nullptr;
    std::int8_t algorithm = 0;
    bool initialized = false, encrypt = false, finished = false;
    Bytes key, nonce, aad, data, tag;
    long adataLength = -1, messageLength = -1; // CCM's, declared at init
    std::size_t tagSize = 16;
    // A reset leaves the cipher as its last init did.
    void reset() override
    {
        aad.clear();
        data.clear();
        tag.clear();
        finished = false;
    }
    const char* stateKind() const override { return "aead"; }
    void save(StateWriter& out) const override
    {
        out.u8(kindIndex(kind));
        out.u8(static_cast<std::uint8_t>(algorithm));
        out.u8(static_cast<std::uint8_t>((initialized ? 1 : 0) | (encrypt ? 2 : 0)));
        out.bytes(key);
        out.bytes(nonce);
        out.u32(static_cast<std::uint32_t>(adataLength));
        out.u32(static_cast<std::uint32_t>(messageLength));
        out.u8(static_cast<std::uint8_t>(tagSize));
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<AeadState>();
        state->kind = kindAt(in.u8());
        state->algorithm = static_cast<std::int8_t>(in.u8());
        const std::uint8_t flags = in.u8();
        state->initialized = (flags & 1) != 0;
        state->encrypt = (flags & 2) != 0;
        state->key = in.bytes();
        state->nonce = in.bytes();
        state->adataLength = static_cast<std::int32_t>(in.u32());
        state->messageLength = static_cast<std::int32_t>(in.u32());
        state->tagSize = in.u8();
        return state;
    }
};

Ref makeCipher(NativeCall& c, const CipherKind& kind, std::int8_t algorithm, const char* cls)
{
    const bool aead = kind.mode == Mode::Gcm || kind.mode == Mode::Ccm;
    const Ref made = c.vm.newInstance(c.vm.apiClass(aead ? aeadClass : cls));
    if (aead) {
        auto state = std::make_unique<AeadState>();
        state->kind = &kind;
        state->algorithm = algorithm;
        c.vm.object(made).native = std::move(state);
    } else {
        auto state = std::make_unique<CipherState>();
        state->kind = &kind;
        state->algorithm = algorithm;
        c.vm.object(made).native = std::move(state);
    }
    return made;
}

void cipherGetInstance(NativeCall& c)
{
    const std::int16_t algorithm = c.shortArg(0);
    for (const auto& kind : cipherKinds)
        if (algorithm == constant(kind.owner, kind.name)) {
            c.returnRef(makeCipher(c, kind, static_cast<std::int8_t>(algorithm), cipherClass));
            return;
        }
    cryptoThrow(c, "NO_SUCH_ALGORITHM", "Cipher algorithm " + std::to_string(algorithm));
}

// Cipher.getInstance(cipherAlgorithm, paddingAlgorithm, externalAccess), and Cipher.OneShot.open.
void makeByParts(NativeCall& c, const char* cls)
{
    const std::int16_t cipher = c.shortArg(0), padding = c.shortArg(1);
    for (const auto& kind : cipherKinds) {
        const bool padMatches = padding == constant(cipherClass, kind.padName) ||
                                (kind.padding == Pad::None && padding == constant(cipherClass, "PAD_NULL"));
        if (cipher == cipherConstant(kind.cipher) && padMatches) {
            c.returnRef(makeCipher(c, kind, 0, cls));
            return;
        }
    }
    cryptoThrow(c, "NO_SUCH_ALGORITHM",
                "Cipher algorithm " + std::to_string(cipher) + " with padding " + std::to_string(padding));
}

void cipherGetInstanceByParts(NativeCall& c)
{
    makeByParts(c, cipherClass);
}

void oneShotOpen(NativeCall& c)
{
    makeByParts(c, "javacardx.crypto.Cipher$OneShot");
}

CipherState& cipherOf(NativeCall& c)
{
    return stateOf<CipherState>(c, "INVALID_INIT", "Cipher");
}

bool modeOf(NativeCall& c)
{
    const std::int16_t mode = c.shortArg(2);
    if (mode != constant(cipherClass, "MODE_ENCRYPT") && mode != constant(cipherClass, "MODE_DECRYPT"))
        cryptoThrow(c, "ILLEGAL_VALUE", "Cipher mode " + std::to_string(mode));
    return mode == constant(cipherClass, "MODE_ENCRYPT");
}

void cipherInit(NativeCall& c, bool ivGiven)
{
    CipherState& cipher = cipherOf(c);
    const bool encrypt = modeOf(c);
    if (cipher.kind->family == Family::Rsa)
        cipher.rsaKey = asymmetricKey(c, ivGiven, Family::Rsa, std::nullopt, "a key of another algorithm");
    else
        initSecret(c, cipher.kind->family, ivGiven, cipher.block(), cipher.kind->mode == Mode::Cbc, cipher.key,
                   cipher.iv);
    cipher.firstIv = cipher.iv;
    cipher.encrypt = encrypt;
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
Bytes cipherBlocks(NativeCall& c, CipherState& cipher, const Bytes& data)
{
    if (data.empty())
        return {};
    const bool cbc = cipher.kind->mode == Mode::Cbc;
    auto out = blockCipher(c, cipher.kind->family, cipher.key, cbc, cipher.encrypt, cipher.iv, data);
    if (cbc) {
        const auto& chain = cipher.encrypt ? out : data;
        cipher.iv.assign(chain.end() - static_cast<long>(cipher.block()), chain.end());
    }
    return out;
}

// RSA works on one block, the modulus's length: PKCS#1 type 2 for a public
// key's encryption, type 1 for a private key's; OAEP; or no padding at all.
void rsaDoFinal(NativeCall& c, CipherState& cipher, const Bytes& data)
{
    const KeyState& key = cipher.rsaKey;
    const std::size_t k = key.bits / 8;
    const std::uint8_t type = key.role == Role::Public ? (cipher.encrypt ? 2 : 1) : (cipher.encrypt ? 1 : 2);
    const bool oaep = cipher.kind->padding == Pad::Oaep;
    Bytes out;
    if (cipher.encrypt) {
        if (cipher.kind->padding == Pad::None && data.size() != k)
            cryptoThrow(c, "ILLEGAL_USE",
                        std::to_string(data.size()) + " bytes for RSA without padding, not " + std::to_string(k));
        out = rsaApply(c, key,
                       oaep                                 ? oaepEncode(c, data, k)
                       : cipher.kind->padding == Pad::Pkcs1 ? pkcs1Pad(c, data, k, type)
                                                            : data);
    } else {
        if (data.size() != k)
            cryptoThrow(c, "ILLEGAL_USE", std::to_string(data.size()) + " bytes to decrypt, not " + std::to_string(k));
        out = rsaApply(c, key, data);
        if (oaep || cipher.kind->padding == Pad::Pkcs1) {
            const auto unpadded = oaep ? oaepDecode(c, out) : pkcs1Unpad(out, type);
            if (!unpadded)
                cryptoThrow(c, "ILLEGAL_USE",
                            oaep ? "the decrypted block has no valid OAEP encoding"
                                 : "the decrypted block has no valid PKCS#1 padding");
            out = *unpadded;
        }
    }
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

// What an update or doFinal works on: the bytes kept from before, then the call's own.
Bytes gathered(NativeCall& c, CipherState& cipher, const char* call)
{
    if (!cipher.initialized)
        cryptoThrow(c, "INVALID_INIT", std::string("Cipher.") + call + " before init");
    Bytes data = cipher.pending;
    const auto input = argumentBytes(c, 1, 2, 3);
    data.insert(data.end(), input.begin(), input.end());
    return data;
}

void cipherUpdate(NativeCall& c)
{
    CipherState& cipher = cipherOf(c);
    if (cipher.initialized && cipher.kind->family == Family::Rsa)
        cryptoThrow(c, "ILLEGAL_USE", "Cipher.update of RSA, which takes one block in doFinal");
    auto data = gathered(c, cipher, "update");
    std::size_t whole = data.size() / cipher.block() * cipher.block();
    // A padded decryption keeps its last block for doFinal, which removes the padding.
    if (!cipher.encrypt && cipher.kind->padding != Pad::None && whole == data.size() && whole > 0)
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
    auto data = gathered(c, cipher, "doFinal");
    cipher.pending.clear();
    if (cipher.kind->family == Family::Rsa) {
        rsaDoFinal(c, cipher, data);
        return;
    }
    const std::size_t block = cipher.block();
    if (cipher.encrypt)
        pad(data, cipher.kind->padding, block);
    if (data.size() % block != 0) {
        cipher.iv = cipher.firstIv;
        cryptoThrow(c, "ILLEGAL_USE", std::to_string(data.size()) + " bytes, not whole blocks, and no padding");
    }
    auto out = cipherBlocks(c, cipher, data);
    cipher.iv = cipher.firstIv; // doFinal leaves the cipher as init left it
    if (!cipher.encrypt && !unpad(out, cipher.kind->padding, block))
        cryptoThrow(c, "ILLEGAL_USE", "the decrypted data has no valid padding");
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

template <typename State> void algorithmOf(NativeCall& c)
{
    c.returnShort(stateOf<State>(c, "INVALID_INIT", "Cipher").algorithm);
}

template <typename State> void cipherAlgorithmOf(NativeCall& c)
{
    c.returnShort(cipherConstant(stateOf<State>(c, "INVALID_INIT", "Cipher").kind->cipher));
}

template <typename State> void paddingAlgorithmOf(NativeCall& c)
{
    c.returnShort(
        static_cast<std::int8_t>(constant(cipherClass, stateOf<State>(c, "INVALID_INIT", "Cipher").kind->padName)));
}

// AES-GCM or AES-CCM sealing of `data`: the ciphertext and a tag of `tagSize` bytes.
std::pair<Bytes, Bytes> aeadSeal(NativeCall& c, const AeadState& state, const Bytes& data, std::size_t tagSize)
{
    const bool gcm = state.kind->mode == Mode::Gcm;
    const EVP_CIPHER* cipher = state.key.size() == 16   ? (gcm ? EVP_aes_128_gcm() : EVP_aes_128_ccm())
                               : state.key.size() == 24 ? (gcm ? EVP_aes_192_gcm() : EVP_aes_192_ccm())
                                                        : (gcm ? EVP_aes_256_gcm() : EVP_aes_256_ccm());
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                              EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 16), tag(tagSize);
    int written = 0, last = 0, ignored = 0;
    const int nonceLength = static_cast<int>(state.nonce.size());
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), gcm ? EVP_CTRL_GCM_SET_IVLEN : EVP_CTRL_CCM_SET_IVLEN, nonceLength,
                                  nullptr) == 1;
    if (ok && !gcm)
        ok = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_TAG, static_cast<int>(tagSize), nullptr) == 1;
    ok = ok && EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, state.key.data(), state.nonce.data()) == 1;
    if (ok && !gcm)
        ok = EVP_EncryptUpdate(ctx.get(), nullptr, &ignored, nullptr, static_cast<int>(data.size())) == 1;
    if (ok && !state.aad.empty())
        ok = EVP_EncryptUpdate(ctx.get(), nullptr, &ignored, state.aad.data(), static_cast<int>(state.aad.size())) == 1;
    ok = ok && EVP_EncryptUpdate(ctx.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) == 1 &&
         EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &last) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), gcm ? EVP_CTRL_GCM_GET_TAG : EVP_CTRL_CCM_GET_TAG, static_cast<int>(tagSize),
                             tag.data()) == 1;
    if (!ok)
        cryptoThrow(c, "ILLEGAL_USE", gcm ? "AES-GCM failed" : "AES-CCM failed");
    out.resize(static_cast<std::size_t>(written + last));
    return {out, tag};
}

AeadState& aeadOf(NativeCall& c)
{
    return stateOf<AeadState>(c, "INVALID_INIT", "AEADCipher");
}

// init(key, mode, nonce, offset, length[, adataLength, messageLength, tagSize]).
void aeadInit(NativeCall& c, bool lengthsGiven)
{
    AeadState& state = aeadOf(c);
    const bool encrypt = modeOf(c);
    const bool gcm = state.kind->mode == Mode::Gcm;
    Bytes iv;
    initSecret(c, Family::Aes, false, 16, false, state.key, iv);
    auto nonce = argumentBytes(c, 3, 4, 5);
    if (gcm ? nonce.empty() : (nonce.size() < 7 || nonce.size() > 13))
        cryptoThrow(c, "ILLEGAL_VALUE", "a nonce of " + std::to_string(nonce.size()) + " bytes");
    if (!gcm && !lengthsGiven)
        cryptoThrow(c, "ILLEGAL_USE", "AES-CCM initialised without its data lengths and tag size");
    state.adataLength = state.messageLength = -1;
    state.tagSize = 16;
    if (lengthsGiven) {
        const std::int16_t adata = c.shortArg(6), message = c.shortArg(7), tag = c.shortArg(8);
        const bool tagFits = gcm ? tag >= 4 && tag <= 16 : tag >= 4 && tag <= 16 && tag % 2 == 0;
        if (adata < 0 || message < 0 || !tagFits)
            cryptoThrow(c, "ILLEGAL_VALUE",
                        "AEAD lengths " + std::to_string(adata) + ", " + std::to_string(message) + " and a tag of " +
                            std::to_string(tag));
        state.adataLength = adata;
        state.messageLength = message;
        state.tagSize = static_cast<std::size_t>(tag);
    }
    state.nonce = std::move(nonce);
    state.encrypt = encrypt;
    state.aad.clear();
    state.data.clear();
    state.tag.clear();
    state.finished = false;
    state.initialized = true;
}

void aeadInitKey(NativeCall& c)
{
    aeadOf(c);
    cryptoThrow(c, "ILLEGAL_USE", "an AEAD cipher initialised without a nonce");
}

void aeadInitNonce(NativeCall& c)
{
    aeadInit(c, false);
}

void aeadInitLengths(NativeCall& c)
{
    aeadInit(c, true);
}

AeadState& aeadRunning(NativeCall& c, const char* call)
{
    AeadState& state = aeadOf(c);
    if (!state.initialized || state.finished)
        cryptoThrow(c, "ILLEGAL_USE", std::string("AEADCipher.") + call + " before init");
    return state;
}

void aeadUpdateAad(NativeCall& c)
{
    AeadState& state = aeadRunning(c, "updateAAD");
    if (!state.data.empty())
        cryptoThrow(c, "ILLEGAL_USE", "AEADCipher.updateAAD after data");
    const auto bytes = argumentBytes(c, 1, 2, 3);
    state.aad.insert(state.aad.end(), bytes.begin(), bytes.end());
}

void aeadUpdate(NativeCall& c)
{
    AeadState& state = aeadRunning(c, "update");
    const auto bytes = argumentBytes(c, 1, 2, 3);
    state.data.insert(state.data.end(), bytes.begin(), bytes.end());
    c.returnShort(0); // everything is given out by doFinal
}

void aeadDoFinal(NativeCall& c)
{
    AeadState& state = aeadRunning(c, "doFinal");
    const auto bytes = argumentBytes(c, 1, 2, 3);
    state.data.insert(state.data.end(), bytes.begin(), bytes.end());
    if (state.kind->mode == Mode::Ccm && (static_cast<long>(state.aad.size()) != state.adataLength ||
                                          static_cast<long>(state.data.size()) != state.messageLength))
        cryptoThrow(c, "ILLEGAL_USE",
                    "AES-CCM was given " + std::to_string(state.aad.size()) + " bytes of associated data and " +
                        std::to_string(state.data.size()) + " of message, not the lengths declared at init");
    // Both directions run the keystream the same way; decryption then
    // computes the tag over the plaintext it found, for verifyTag.
    const std::size_t tagSize = state.kind->mode == Mode::Ccm ? state.tagSize : 16;
    auto [out, tag] = aeadSeal(c, state, state.data, tagSize);
    if (!state.encrypt)
        tag = aeadSeal(c, state, out, tagSize).second;
    state.tag = std::move(tag);
    state.data.clear();
    state.finished = true;
    writeArgumentBytes(c, 4, 5, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

std::size_t tagLengthOf(NativeCall& c, const AeadState& state, std::int16_t length)
{
    const bool fits =
        state.kind->mode == Mode::Gcm ? length >= 4 && length <= 16 : static_cast<std::size_t>(length) == state.tagSize;
    if (!fits)
        cryptoThrow(c, "ILLEGAL_VALUE", "a tag of " + std::to_string(length) + " bytes");
    return static_cast<std::size_t>(length);
}

void aeadRetrieveTag(NativeCall& c)
{
    AeadState& state = aeadOf(c);
    if (!state.finished || !state.encrypt)
        cryptoThrow(c, "ILLEGAL_USE", "AEADCipher.retrieveTag before an encryption's doFinal");
    const std::size_t length = tagLengthOf(c, state, c.shortArg(3));
    writeArgumentBytes(c, 1, 2, Bytes(state.tag.begin(), state.tag.begin() + static_cast<long>(length)));
    c.returnShort(static_cast<std::int16_t>(length));
}

void aeadVerifyTag(NativeCall& c)
{
    AeadState& state = aeadOf(c);
    if (!state.finished || state.encrypt)
        cryptoThrow(c, "ILLEGAL_USE", "AEADCipher.verifyTag before a decryption's doFinal");
    const auto given = argumentBytes(c, 1, 2, 3);
    const std::int16_t required = c.shortArg(4);
    tagLengthOf(c, state, required);
    if (given.size() < static_cast<std::size_t>(required))
        cryptoThrow(c, "ILLEGAL_VALUE", "a tag of " + std::to_string(given.size()) + " bytes, shorter than required");
    // A tag longer than the one computed cannot match; its length is looked
    // at before any of its bytes.
    const bool matches = given.size() <= state.tag.size() &&
                         std::equal(given.begin(), given.end(), state.tag.begin());
    c.returnShort(matches ? 1 : 0);
}

} // namespace

void addCipherNatives(NativeTable& t)
{
    const std::string cipher = "javacardx.crypto.Cipher.";
    t[cipher + "getInstance(BZ)Ljavacardx/crypto/Cipher;"] = cipherGetInstance;
    t[cipher + "getInstance(BBZ)Ljavacardx/crypto/Cipher;"] = cipherGetInstanceByParts;
    t["javacardx.crypto.Cipher$OneShot.open(BB)Ljavacardx/crypto/Cipher$OneShot;"] = oneShotOpen;
    t["javacardx.crypto.Cipher$OneShot.close()V"] = oneShotClose;
    for (const std::string& prefix : {cipher, std::string("javacardx.crypto.Cipher$OneShot.")}) {
        t[prefix + "init(Ljavacard/security/Key;B)V"] = cipherInitKey;
        t[prefix + "init(Ljavacard/security/Key;B[BSS)V"] = cipherInitIv;
        t[prefix + "update([BSS[BS)S"] = cipherUpdate;
        t[prefix + "doFinal([BSS[BS)S"] = cipherDoFinal;
        t[prefix + "getAlgorithm()B"] = algorithmOf<CipherState>;
        t[prefix + "getCipherAlgorithm()B"] = cipherAlgorithmOf<CipherState>;
        t[prefix + "getPaddingAlgorithm()B"] = paddingAlgorithmOf<CipherState>;
    }
    const std::string aead = "javacardx.crypto.AEADCipher.";
    t[aead + "init(Ljavacard/security/Key;B)V"] = aeadInitKey;
    t[aead + "init(Ljavacard/security/Key;B[BSS)V"] = aeadInitNonce;
    t[aead + "init(Ljavacard/security/Key;B[BSSSSS)V"] = aeadInitLengths;
    t[aead + "updateAAD([BSS)V"] = aeadUpdateAad;
    t[aead + "update([BSS[BS)S"] = aeadUpdate;
    t[aead + "doFinal([BSS[BS)S"] = aeadDoFinal;
    t[aead + "retrieveTag([BSS)S"] = aeadRetrieveTag;
    t[aead + "verifyTag([BSSS)Z"] = aeadVerifyTag;
    t[aead + "getAlgorithm()B"] = algorithmOf<AeadState>;
    t[aead + "getCipherAlgorithm()B"] = cipherAlgorithmOf<AeadState>;
    t[aead + "getPaddingAlgorithm()B"] = paddingAlgorithmOf<AeadState>;
}

void registerCipherKinds()
{
    registerNativeKind("cipher", CipherState::restore);
    registerNativeKind("aead", AeadState::restore);
}

} // namespace tolvane::runtime::crypto
