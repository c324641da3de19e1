// Keys: KeyBuilder's DES, AES, HMAC, generic secret, RSA and EC (prime field)
// keys, persistent or transient, their parts set and got; KeyPair and its
// generation over libcrypto; and the RSA and EC operations the ciphers,
// signatures and key agreement share.

#include "core/runtime/api/api_table.h"
#include "core/runtime/natives/crypto_support.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>

namespace tolvane::runtime::crypto {

long long constant(const char* cls, const char* name)
{
    return apiConstant(cls, name);
}

[[noreturn]] void cryptoThrow(NativeCall& c, const char* reasonName, const std::string& detail)
{
    c.vm.throwNew(c.vm.api.cryptoException,
                  static_cast<unsigned>(constant("javacard.security.CryptoException", reasonName)), detail);
}

void KeyState::clear()
{
    std::fill(key.begin(), key.end(), 0);
    for (auto& [name, part] : parts)
        std::fill(part.begin(), part.end(), 0);
    parts.clear();
    cofactor = 1;
    initialized = false;
}

void KeyState::check()
{
    static const std::map<std::pair<Family, Role>, std::vector<const char*>> needed = {
        {{Family::Rsa, Role::Public}, {"n", "e"}},
        {{Family::Rsa, Role::Private}, {"n", "d"}},
        {{Family::Rsa, Role::Crt}, {"p", "q", "dp", "dq", "qinv"}},
        {{Family::Ec, Role::Public}, {"field", "a", "b", "g", "r", "w"}},
        {{Family::Ec, Role::Private}, {"field", "a", "b", "g", "r", "s"}}};
    const auto names = needed.find({family, role});
    if (names != needed.end())
        initialized =
            std::all_of(names->second.begin(), names->second.end(), [&](const char* name) { return has(name); });
}

void KeyState::reset()
{
    if (clearedOn)
        clear();
}

void KeyState::save(StateWriter& out) const
{
    // A transient key's contents go with the power.
    const bool kept = !clearedOn;
    out.u8(static_cast<std::uint8_t>(family));
    out.u8(static_cast<std::uint8_t>(type));
    out.u16(static_cast<std::uint16_t>(bits));
    out.u8(kept && initialized ? 1 : 0);
    out.bytes(kept ? key : Bytes(key.size(), 0));
    out.u8(clearedOn ? static_cast<std::uint8_t>(1 + static_cast<int>(*clearedOn)) : 0);
    out.u8(static_cast<std::uint8_t>(role));
    out.u32(kept ? static_cast<std::uint32_t>(parts.size()) : 0);
    if (kept)
        for (const auto& [name, part] : parts) {
            out.text(name);
            out.bytes(part);
        }
    out.u16(static_cast<std::uint16_t>(kept ? cofactor : 1));
}

void KeyState::load(StateReader& in, KeyState& key)
{
    key.family = static_cast<Family>(in.u8());
    if (key.family > Family::Ec)
        throw SnapshotError("a key of no family the card has");
    key.type = static_cast<std::int8_t>(in.u8());
    key.bits = in.u16();
    key.initialized = in.u8() != 0;
    key.key = in.bytes();
    const std::uint8_t cleared = in.u8();
    if (cleared > 3)
        throw SnapshotError("a key cleared on no event the card has");
    key.clearedOn = cleared ? std::optional<Memory>(static_cast<Memory>(cleared - 1)) : std::nullopt;
    key.role = static_cast<Role>(in.u8());
    if (key.role > Role::Crt)
        throw SnapshotError("a key of no role the card has");
    for (std::size_t i = in.count(8); i > 0; --i) {
        std::string name = in.text();
        key.parts[name] = in.bytes();
    }
    key.cofactor = static_cast<std::int16_t>(in.u16());
}

void KeyState::cleared(Memory event)
{
    if (clearedOn == event)
        clear();
}

KeyState* keyAt(Vm& vm, Ref ref)
{
    return ref == nullRef ? nullptr : dynamic_cast<KeyState*>(vm.object(ref).native.get());
}

KeyState& keyOf(NativeCall& c, unsigned arg)
{
    auto* state = dynamic_cast<KeyState*>(c.objectArg(arg).native.get());
    if (!state)
        cryptoThrow(c, "ILLEGAL_VALUE", "a key the simulated card did not build");
    return *state;
}

Bn bn(const Bytes& bytes)
{
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_clear_free);
}

Bn newBn()
{
    return Bn(BN_new(), BN_clear_free);
}

Bytes bnBytes(const BIGNUM* value, std::size_t width)
{
    const auto own = static_cast<std::size_t>(BN_num_bytes(value));
    Bytes out(std::max(own, width));
    BN_bn2binpad(value, out.data(), static_cast<int>(out.size()));
    return out;
}

Bytes hashOf(NativeCall& c, const char* digest, const Bytes& data)
{
    Bytes hash(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    const EVP_MD* md = EVP_get_digestbyname(digest);
    if (!md || EVP_Digest(data.data(), data.size(), hash.data(), &length, md, nullptr) != 1)
        cryptoThrow(c, "NO_SUCH_ALGORITHM", std::string("the digest ") + digest);
    hash.resize(length);
    return hash;
}

Bytes mgf1(NativeCall& c, const char* digest, const Bytes& seed, std::size_t length)
{
    Bytes mask;
    for (std::uint32_t counter = 0; mask.size() < length; ++counter) {
        Bytes input = seed;
        for (int shift = 24; shift >= 0; shift -= 8)
            input.push_back(static_cast<std::uint8_t>(counter >> shift));
        const Bytes block = hashOf(c, digest, input);
        mask.insert(mask.end(), block.begin(), block.end());
    }
    mask.resize(length);
    return mask;
}

namespace {

const char* const keyBuilder = "javacard.security.KeyBuilder";

Ref makeKey(NativeCall& c, Family family, std::int8_t type, unsigned bits, std::optional<Memory> clearedOn,
            Role role = Role::Public)
{
    const char* names[] = {"javacard.security.DESKey", "javacard.security.AESKey", "javacard.security.HMACKey",
                           "javacard.security.GenericSecretKey"};
    const char* rsaNames[] = {"javacard.security.RSAPublicKey", "javacard.security.RSAPrivateKey",
                              "javacard.security.RSAPrivateCrtKey"};
    const char* ecNames[] = {"javacard.security.ECPublicKey", "javacard.security.ECPrivateKey"};
    const char* name = family == Family::Rsa  ? rsaNames[static_cast<int>(role)]
                       : family == Family::Ec ? ecNames[static_cast<int>(role)]
                                              : names[static_cast<int>(family)];
    const Ref made = c.vm.newInstance(c.vm.apiClass(name));
    auto state = std::make_unique<KeyState>();
    state->family = family;
    state->type = type;
    state->bits = bits;
    if (family != Family::Rsa && family != Family::Ec)
        state->key.assign(bits / 8, 0);
    state->clearedOn = clearedOn;
    state->role = role;
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
    case Family::Ec:
        return bits >= 112 && bits <= 521;
    }
    return false;
}

struct KeyKind {
    const char* name;
    Family family;
    std::optional<Memory> clearedOn;
    Role role = Role::Public;
};

const KeyKind keyKinds[] = {
    {"TYPE_RSA_PUBLIC", Family::Rsa, std::nullopt, Role::Public},
    {"TYPE_RSA_PRIVATE", Family::Rsa, std::nullopt, Role::Private},
    {"TYPE_RSA_CRT_PRIVATE", Family::Rsa, std::nullopt, Role::Crt},
    {"TYPE_RSA_PRIVATE_TRANSIENT_RESET", Family::Rsa, Memory::ClearOnReset, Role::Private},
    {"TYPE_RSA_PRIVATE_TRANSIENT_DESELECT", Family::Rsa, Memory::ClearOnDeselect, Role::Private},
    {"TYPE_RSA_CRT_PRIVATE_TRANSIENT_RESET", Family::Rsa, Memory::ClearOnReset, Role::Crt},
    {"TYPE_RSA_CRT_PRIVATE_TRANSIENT_DESELECT", Family::Rsa, Memory::ClearOnDeselect, Role::Crt},
    {"TYPE_EC_FP_PUBLIC", Family::Ec, std::nullopt, Role::Public},
    {"TYPE_EC_FP_PRIVATE", Family::Ec, std::nullopt, Role::Private},
    {"TYPE_EC_FP_PRIVATE_TRANSIENT_RESET", Family::Ec, Memory::ClearOnReset, Role::Private},
    {"TYPE_EC_FP_PRIVATE_TRANSIENT_DESELECT", Family::Ec, Memory::ClearOnDeselect, Role::Private},
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

Ref buildChecked(NativeCall& c, const char* name, Family family, std::int8_t type, unsigned bits,
                 std::optional<Memory> clearedOn, Role role)
{
    if (!validLength(family, bits))
        cryptoThrow(c, "NO_SUCH_ALGORITHM",
                    std::string("KeyBuilder.") + name + " of " + std::to_string(bits) + " bits");
    return makeKey(c, family, type, bits, clearedOn, role);
}

// KeyBuilder.buildKey(keyType, keyLength, keyEncryption).
void buildKey(NativeCall& c)
{
    const std::int16_t type = c.shortArg(0);
    const auto bits = static_cast<std::uint16_t>(c.shortArg(1));
    for (const auto& kind : keyKinds)
        if (type == constant(keyBuilder, kind.name)) {
            c.returnRef(buildChecked(c, kind.name, kind.family, static_cast<std::int8_t>(type), bits, kind.clearedOn,
                                     kind.role));
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
        Role role;
    };
    static const Kind kinds[] = {
        {"ALG_TYPE_DES", Family::Des, "TYPE_DES", Role::Public},
        {"ALG_TYPE_AES", Family::Aes, "TYPE_AES", Role::Public},
        {"ALG_TYPE_HMAC", Family::Hmac, "TYPE_HMAC", Role::Public},
        {"ALG_TYPE_GENERIC_SECRET", Family::Generic, "TYPE_GENERIC_SECRET", Role::Public},
        {"ALG_TYPE_RSA_PUBLIC", Family::Rsa, "TYPE_RSA_PUBLIC", Role::Public},
        {"ALG_TYPE_RSA_PRIVATE", Family::Rsa, "TYPE_RSA_PRIVATE", Role::Private},
        {"ALG_TYPE_RSA_CRT_PRIVATE", Family::Rsa, "TYPE_RSA_CRT_PRIVATE", Role::Crt},
        {"ALG_TYPE_EC_FP_PUBLIC", Family::Ec, "TYPE_EC_FP_PUBLIC", Role::Public},
        {"ALG_TYPE_EC_FP_PRIVATE", Family::Ec, "TYPE_EC_FP_PRIVATE", Role::Private},
    };
    for (const auto& kind : kinds)
        if (algorithm == constant(keyBuilder, kind.name)) {
            if (clearedOn && kind.role == Role::Public && (kind.family == Family::Rsa || kind.family == Family::Ec))
                cryptoThrow(c, "NO_SUCH_ALGORITHM", std::string("KeyBuilder.") + kind.name + " in transient memory");
            c.returnRef(buildChecked(c, kind.name, kind.family,
                                     static_cast<std::int8_t>(constant(keyBuilder, kind.persistentType)), bits,
                                     clearedOn, kind.role));
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

// The parts of RSA and EC keys, by name. Integers are kept without their
// leading zeros and given back at the width a card gives them; points are
// kept as set.
enum class Width { Own, Key, Half, Point };

struct PartRule {
    const char* name;
    const char* what; // for messages
    Width width;
};

const PartRule partRules[] = {
    {"n", "RSA modulus", Width::Key},
    {"e", "RSA public exponent", Width::Own},
    {"d", "RSA private exponent", Width::Own},
    {"p", "prime P", Width::Half},
    {"q", "prime Q", Width::Half},
    {"dp", "DP1", Width::Half},
    {"dq", "DQ1", Width::Half},
    {"qinv", "PQ", Width::Half},
    {"field", "EC field prime", Width::Key},
    {"a", "EC coefficient A", Width::Key},
    {"b", "EC coefficient B", Width::Key},
    {"g", "EC generator G", Width::Point},
    {"r", "EC order R", Width::Own},
    {"w", "EC public point W", Width::Point},
    {"s", "EC private value S", Width::Key},
};

const PartRule& ruleOf(const std::string& name)
{
    return *std::find_if(std::begin(partRules), std::end(partRules),
                         [&](const PartRule& rule) { return name == rule.name; });
}

void partSet(NativeCall& c, const char* part)
{
    KeyState& key = keyOf(c, 0);
    const PartRule& rule = ruleOf(part);
    auto bytes = argumentBytes(c, 1, 2, 3);
    const std::size_t width = key.bytes();
    bool fits = true;
    if (rule.width == Width::Point) {
        // An uncompressed point (04 X Y) or a compressed one (02 or 03, then X).
        fits = !bytes.empty() && ((bytes[0] == 0x04 && bytes.size() == 1 + 2 * width) ||
                                  ((bytes[0] == 0x02 || bytes[0] == 0x03) && bytes.size() == 1 + width));
    } else {
        // No bytes at all is no value, whatever the part (an EC coefficient
        // of zero comes as zero bytes).
        const bool given = !bytes.empty();
        bytes.erase(bytes.begin(), std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; }));
        // An RSA part is never zero; an EC order may be a byte longer than its field.
        const bool zeroAllowed = key.family == Family::Ec && rule.name != std::string("r");
        fits = given && (zeroAllowed || !bytes.empty()) &&
               bytes.size() <= width + (rule.name == std::string("r") ? 1 : 0);
    }
    if (!fits)
        cryptoThrow(c, "ILLEGAL_VALUE",
                    std::string("an ") + rule.what + " of " + std::to_string(argumentBytes(c, 1, 2, 3).size()) +
                        " bytes, for a key of " + std::to_string(key.bits) + " bits");
    key.parts[part] = std::move(bytes);
    key.check();
}

void partGet(NativeCall& c, const char* part)
{
    KeyState& key = keyOf(c, 0);
    const PartRule& rule = ruleOf(part);
    const auto found = key.parts.find(part);
    if (found == key.parts.end())
        cryptoThrow(c, "UNINITIALIZED_KEY", std::string("the key's ") + rule.what + " was never set");
    Bytes bytes = found->second;
    const std::size_t width = rule.width == Width::Key ? key.bytes() : rule.width == Width::Half ? key.bits / 16 : 0;
    if (bytes.size() < width)
        bytes.insert(bytes.begin(), width - bytes.size(), 0);
    writeArgumentBytes(c, 1, 2, bytes);
    c.returnShort(static_cast<std::int16_t>(bytes.size()));
}

// One native per part and direction: the table below names them.
template <const char* Part> void setPart(NativeCall& c)
{
    partSet(c, Part);
}
template <const char* Part> void getPart(NativeCall& c)
{
    partGet(c, Part);
}

constexpr char partN[] = "n", partE[] = "e", partD[] = "d", partP[] = "p", partQ[] = "q", partDp[] = "dp",
               partDq[] = "dq", partQinv[] = "qinv", partField[] = "field", partA[] = "a", partB[] = "b", partG[] = "g",
               partR[] = "r", partW[] = "w", partS[] = "s";

void ecSetK(NativeCall& c)
{
    KeyState& key = keyOf(c, 0);
    if (c.shortArg(1) < 1)
        cryptoThrow(c, "ILLEGAL_VALUE", "an EC cofactor of " + std::to_string(c.shortArg(1)));
    key.cofactor = c.shortArg(1);
}

void ecGetK(NativeCall& c)
{
    const KeyState& key = keyOf(c, 0);
    if (!key.has("field"))
        cryptoThrow(c, "UNINITIALIZED_KEY", "the key's EC cofactor was never set");
    c.returnShort(key.cofactor);
}

void copyDomain(KeyState& to, const KeyState& from)
{
    for (const char* part : {"field", "a", "b", "g", "r"})
        to.parts[part] = from.parts.at(part);
    to.cofactor = from.cofactor;
    to.check();
}

bool hasDomain(const KeyState& key)
{
    return key.has("field") && key.has("a") && key.has("b") && key.has("g") && key.has("r");
}

void ecCopyDomain(NativeCall& c)
{
    KeyState& key = keyOf(c, 0);
    const KeyState& from = keyOf(c, 1);
    if (from.family != Family::Ec || from.bits != key.bits)
        cryptoThrow(c, "ILLEGAL_VALUE", "domain parameters from a key of another kind or size");
    if (!hasDomain(from))
        cryptoThrow(c, "UNINITIALIZED_KEY", "domain parameters from a key that has none");
    copyDomain(key, from);
}

const char* const keyPairClass = "javacard.security.KeyPair";

void keyPairInit(NativeCall& c)
{
    Object& self = c.objectArg(0);
    const std::int16_t algorithm = c.shortArg(1);
    const auto bits = static_cast<std::uint16_t>(c.shortArg(2));
    const bool crt = algorithm == constant(keyPairClass, "ALG_RSA_CRT");
    const bool ec = algorithm == constant(keyPairClass, "ALG_EC_FP");
    if (!crt && !ec && algorithm != constant(keyPairClass, "ALG_RSA"))
        cryptoThrow(c, "NO_SUCH_ALGORITHM", "KeyPair algorithm " + std::to_string(algorithm));
    const Family family = ec ? Family::Ec : Family::Rsa;
    if (!validLength(family, bits))
        cryptoThrow(c, "NO_SUCH_ALGORITHM",
                    std::string(ec ? "an EC" : "an RSA") + " KeyPair of " + std::to_string(bits) + " bits");
    if (self.cells.size() < 2)
        c.vm.fault("a KeyPair without room for its keys");
    const Role privateRole = crt ? Role::Crt : Role::Private;
    const char* publicType = ec ? "TYPE_EC_FP_PUBLIC" : "TYPE_RSA_PUBLIC";
    const char* privateType = ec ? "TYPE_EC_FP_PRIVATE" : crt ? "TYPE_RSA_CRT_PRIVATE" : "TYPE_RSA_PRIVATE";
    const Ref publicKey = makeKey(c, family, static_cast<std::int8_t>(constant(keyBuilder, publicType)), bits,
                                  std::nullopt, Role::Public);
    const Ref privateKey = makeKey(c, family, static_cast<std::int8_t>(constant(keyBuilder, privateType)), bits,
                                   std::nullopt, privateRole);
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
    if ((publicKey.family != Family::Rsa && publicKey.family != Family::Ec) || publicKey.role != Role::Public ||
        privateKey.family != publicKey.family || privateKey.role == Role::Public || publicKey.bits != privateKey.bits)
        cryptoThrow(c, "ILLEGAL_VALUE", "a KeyPair of keys that do not pair");
    c.vm.setCell(c.refArg(0), 0, {static_cast<std::int16_t>(c.refArg(1)), Kind::Reference});
    c.vm.setCell(c.refArg(0), 1, {static_cast<std::int16_t>(c.refArg(2)), Kind::Reference});
}

Bytes bnParam(const EVP_PKEY* pkey, const char* name, std::size_t width = 0)
{
    BIGNUM* value = nullptr;
    Bytes bytes;
    if (EVP_PKEY_get_bn_param(pkey, name, &value) == 1)
        bytes = bnBytes(value, width);
    BN_clear_free(value);
    return bytes;
}

Bytes octetParam(const EVP_PKEY* pkey, const char* name)
{
    Bytes bytes(1 + 2 * 66 + 1);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(pkey, name, bytes.data(), bytes.size(), &length) != 1)
        return {};
    bytes.resize(length);
    return bytes;
}

void generateRsa(NativeCall& c, KeyState& publicKey, KeyState& privateKey)
{
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* made = nullptr;
    bool ok = ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(publicKey.bits)) == 1;
    // A public exponent the applet set is the one the pair gets.
    if (ok && publicKey.has("e")) {
        const Bn e = bn(publicKey.parts.at("e"));
        ok = EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1;
    }
    ok = ok && EVP_PKEY_generate(ctx.get(), &made) == 1;
    const Pkey pkey(made, EVP_PKEY_free);
    if (!ok)
        cryptoThrow(c, "ILLEGAL_VALUE", "the RSA key pair could not be made");
    publicKey.parts = {{"n", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_N)},
                       {"e", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_E)}};
    if (privateKey.role == Role::Crt)
        privateKey.parts = {{"p", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1)},
                            {"q", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2)},
                            {"dp", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1)},
                            {"dq", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2)},
                            {"qinv", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1)}};
    else
        privateKey.parts = {{"n", publicKey.parts.at("n")}, {"d", bnParam(pkey.get(), OSSL_PKEY_PARAM_RSA_D)}};
}

// Where neither key has domain parameters, the pair is made on the named
// curve of its size, whose parameters both keys then hold.
const char* defaultCurve(unsigned bits)
{
    switch (bits) {
    case 192:
        return "prime192v1";
    case 224:
        return "secp224r1";
    case 256:
        return "prime256v1";
    case 384:
        return "secp384r1";
    case 521:
        return "secp521r1";
    default:
        return nullptr;
    }
}

void generateEc(NativeCall& c, KeyState& publicKey, KeyState& privateKey)
{
    const KeyState* domain = hasDomain(publicKey) ? &publicKey : hasDomain(privateKey) ? &privateKey : nullptr;
    PkeyCtx ctx(nullptr, EVP_PKEY_CTX_free);
    Pkey parameters(nullptr, EVP_PKEY_free);
    if (domain) {
        parameters = ecKey(c, *domain, nullptr, false);
        ctx.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, parameters.get(), nullptr));
    } else {
        const char* curve = defaultCurve(publicKey.bits);
        if (!curve)
            cryptoThrow(c, "ILLEGAL_VALUE",
                        "an EC key pair of " + std::to_string(publicKey.bits) + " bits without domain parameters");
        ctx.reset(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
        if (ctx && (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_group_name(ctx.get(), curve) != 1))
            ctx.reset();
    }
    EVP_PKEY* made = nullptr;
    if (!ctx || (domain && EVP_PKEY_keygen_init(ctx.get()) != 1) || EVP_PKEY_generate(ctx.get(), &made) != 1)
        cryptoThrow(c, "ILLEGAL_VALUE", "the EC key pair could not be made on these domain parameters");
    const Pkey pkey(made, EVP_PKEY_free);
    KeyState source;
    if (domain) {
        source = *domain;
    } else {
        source.parts = {{"field", bnParam(pkey.get(), OSSL_PKEY_PARAM_EC_P)},
                        {"a", bnParam(pkey.get(), OSSL_PKEY_PARAM_EC_A)},
                        {"b", bnParam(pkey.get(), OSSL_PKEY_PARAM_EC_B)},
                        {"g", octetParam(pkey.get(), OSSL_PKEY_PARAM_EC_GENERATOR)},
                        {"r", bnParam(pkey.get(), OSSL_PKEY_PARAM_EC_ORDER)}};
        for (auto& [name, part] : source.parts)
            if (name != "g")
                part.erase(part.begin(), std::find_if(part.begin(), part.end(), [](std::uint8_t b) { return b; }));
    }
    copyDomain(publicKey, source);
    copyDomain(privateKey, source);
    publicKey.parts["w"] = octetParam(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY);
    Bytes s = bnParam(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY);
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](std::uint8_t b) { return b; }));
    privateKey.parts["s"] = std::move(s);
}

void keyPairGenerate(NativeCall& c)
{
    Object& self = c.objectArg(0);
    KeyState* publicKey = self.cells.size() >= 2 && self.cells[0].kind == Kind::Reference
                              ? keyAt(c.vm, static_cast<Ref>(self.cells[0].value))
                              : nullptr;
    KeyState* privateKey = self.cells.size() >= 2 && self.cells[1].kind == Kind::Reference
                               ? keyAt(c.vm, static_cast<Ref>(self.cells[1].value))
                               : nullptr;
    if (!publicKey || !privateKey)
        cryptoThrow(c, "ILLEGAL_VALUE", "a KeyPair without keys");
    if (publicKey->family == Family::Ec)
        generateEc(c, *publicKey, *privateKey);
    else
        generateRsa(c, *publicKey, *privateKey);
    publicKey->check();
    privateKey->check();
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

} // namespace

// The RSA operation: with the public exponent, the private one, or the CRT
// parts (an applet's private key may come without its public exponent).
Bytes rsaApply(NativeCall& c, const KeyState& key, const Bytes& input)
{
    const std::size_t k = key.bits / 8;
    const std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
    Bn m = bn(input), r = newBn();
    bool ok = ctx && m && r;
    if (key.role == Role::Crt) {
        const Bn p = bn(key.parts.at("p")), q = bn(key.parts.at("q")), dp = bn(key.parts.at("dp")),
                 dq = bn(key.parts.at("dq")), qinv = bn(key.parts.at("qinv"));
        Bn m1 = newBn(), m2 = newBn(), h = newBn();
        ok = ok && BN_mod_exp(m1.get(), m.get(), dp.get(), p.get(), ctx.get()) &&
             BN_mod_exp(m2.get(), m.get(), dq.get(), q.get(), ctx.get()) &&
             BN_mod_sub(h.get(), m1.get(), m2.get(), p.get(), ctx.get()) &&
             BN_mod_mul(h.get(), h.get(), qinv.get(), p.get(), ctx.get()) &&
             BN_mul(h.get(), h.get(), q.get(), ctx.get()) && BN_add(r.get(), m2.get(), h.get());
    } else {
        const Bn n = bn(key.parts.at("n")), e = bn(key.parts.at(key.role == Role::Public ? "e" : "d"));
        ok = ok && BN_cmp(m.get(), n.get()) < 0 && BN_mod_exp(r.get(), m.get(), e.get(), n.get(), ctx.get());
    }
    if (!ok || BN_num_bytes(r.get()) > static_cast<int>(k))
        cryptoThrow(c, "ILLEGAL_VALUE", "the RSA operation failed: the data is not below the modulus");
    return bnBytes(r.get(), k);
}

std::size_t ecOrderBytes(const KeyState& key)
{
    const Bn r = bn(key.parts.at("r"));
    return static_cast<std::size_t>(BN_num_bytes(r.get()));
}

Pkey ecKey(NativeCall& c, const KeyState& key, const Bytes* point, bool withPrivate)
{
    if (!hasDomain(key))
        cryptoThrow(c, "UNINITIALIZED_KEY", "an EC key without its domain parameters");
    const std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(),
                                                                                OSSL_PARAM_BLD_free);
    const Bn p = bn(key.parts.at("field")), a = bn(key.parts.at("a")), b = bn(key.parts.at("b")),
             r = bn(key.parts.at("r")), k = newBn();
    Bn s = withPrivate ? bn(key.parts.at("s")) : newBn();
    const Bytes& g = key.parts.at("g");
    char field[] = "prime-field";
    bool ok = build && k && BN_set_word(k.get(), static_cast<BN_ULONG>(key.cofactor)) &&
              OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_EC_FIELD_TYPE, field, 0) &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_EC_P, p.get()) &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_EC_A, a.get()) &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_EC_B, b.get()) &&
              OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_EC_GENERATOR, g.data(), g.size()) &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_EC_ORDER, r.get()) &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_EC_COFACTOR, k.get());
    if (ok && point)
        ok = OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point->data(), point->size());
    if (ok && withPrivate)
        ok = OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, s.get());
    OSSL_PARAM* params = ok ? OSSL_PARAM_BLD_to_param(build.get()) : nullptr;
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* made = nullptr;
    const int selection = withPrivate ? EVP_PKEY_KEYPAIR : point ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEY_PARAMETERS;
    ok = params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
         EVP_PKEY_fromdata(ctx.get(), &made, selection, params) == 1;
    OSSL_PARAM_free(params);
    Pkey pkey(made, EVP_PKEY_free);
    if (!ok)
        cryptoThrow(c, "ILLEGAL_VALUE",
                    point ? "the EC point is not on the key's curve, or the curve is not sound"
                          : "the EC key's domain parameters are not a sound curve");
    return pkey;
}

void addKeyNatives(NativeTable& t)
{
    t["javacard.security.KeyBuilder.buildKey(BSZ)Ljavacard/security/Key;"] = buildKey;
    t["javacard.security.KeyBuilder.buildKey(BBSZ)Ljavacard/security/Key;"] = buildKeyInMemory;
    const std::string pair = "javacard.security.KeyPair.";
    t[pair + "<init>(BS)V"] = keyPairInit;
    t[pair + "<init>(Ljavacard/security/PublicKey;Ljavacard/security/PrivateKey;)V"] = keyPairInitKeys;
    t[pair + "genKeyPair()V"] = keyPairGenerate;
    t[pair + "getPublic()Ljavacard/security/PublicKey;"] = keyPairPublic;
    t[pair + "getPrivate()Ljavacard/security/PrivateKey;"] = keyPairPrivate;
    for (const char* key : {"RSAPublicKey", "RSAPrivateKey"}) {
        const std::string prefix = std::string("javacard.security.") + key + ".";
        const bool isPublic = std::string(key) == "RSAPublicKey";
        t[prefix + "setModulus([BSS)V"] = setPart<partN>;
        t[prefix + "getModulus([BS)S"] = getPart<partN>;
        t[prefix + "setExponent([BSS)V"] = isPublic ? setPart<partE> : setPart<partD>;
        t[prefix + "getExponent([BS)S"] = isPublic ? getPart<partE> : getPart<partD>;
    }
    const std::string crt = "javacard.security.RSAPrivateCrtKey.";
    t[crt + "setP([BSS)V"] = setPart<partP>;
    t[crt + "getP([BS)S"] = getPart<partP>;
    t[crt + "setQ([BSS)V"] = setPart<partQ>;
    t[crt + "getQ([BS)S"] = getPart<partQ>;
    t[crt + "setDP1([BSS)V"] = setPart<partDp>;
    t[crt + "getDP1([BS)S"] = getPart<partDp>;
    t[crt + "setDQ1([BSS)V"] = setPart<partDq>;
    t[crt + "getDQ1([BS)S"] = getPart<partDq>;
    t[crt + "setPQ([BSS)V"] = setPart<partQinv>;
    t[crt + "getPQ([BS)S"] = getPart<partQinv>;
    for (const char* key : {"ECKey", "ECPublicKey", "ECPrivateKey"}) {
        const std::string prefix = std::string("javacard.security.") + key + ".";
        t[prefix + "setFieldFP([BSS)V"] = setPart<partField>;
        t[prefix + "getField([BS)S"] = getPart<partField>;
        t[prefix + "setA([BSS)V"] = setPart<partA>;
        t[prefix + "getA([BS)S"] = getPart<partA>;
        t[prefix + "setB([BSS)V"] = setPart<partB>;
        t[prefix + "getB([BS)S"] = getPart<partB>;
        t[prefix + "setG([BSS)V"] = setPart<partG>;
        t[prefix + "getG([BS)S"] = getPart<partG>;
        t[prefix + "setR([BSS)V"] = setPart<partR>;
        t[prefix + "getR([BS)S"] = getPart<partR>;
        t[prefix + "setK(S)V"] = ecSetK;
        t[prefix + "getK()S"] = ecGetK;
        t[prefix + "copyDomainParametersFrom(Ljavacard/security/ECKey;)V"] = ecCopyDomain;
    }
    t["javacard.security.ECPublicKey.setW([BSS)V"] = setPart<partW>;
    t["javacard.security.ECPublicKey.getW([BS)S"] = getPart<partW>;
    t["javacard.security.ECPrivateKey.setS([BSS)V"] = setPart<partS>;
    t["javacard.security.ECPrivateKey.getS([BS)S"] = getPart<partS>;
    for (const char* key :
         {"Key", "SecretKey", "DESKey", "AESKey", "HMACKey", "GenericSecretKey", "PublicKey", "PrivateKey",
          "RSAPublicKey", "RSAPrivateKey", "RSAPrivateCrtKey", "ECPublicKey", "ECPrivateKey"}) {
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
}

} // namespace tolvane::runtime::crypto
