#pragma once

// What the natives of keys, ciphers and signatures share: the CryptoException
// they throw, a key object's state, and the block cipher, padding, RSA, EC
// and digest operations over libcrypto that more than one of them uses. A
// key's bytes live in its object alone and are never named in a message.

#include "core/runtime/natives/native_support.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvane::runtime::crypto {

using Bytes = std::vector<std::uint8_t>;

// A constant of the API by class and name: constant("javacardx.crypto.Cipher", "MODE_ENCRYPT").
long long constant(const char* cls, const char* name);
// Throws CryptoException with the reason named, `detail` saying why.
[[noreturn]] void cryptoThrow(NativeCall& c, const char* reasonName, const std::string& detail);

enum class Family { Des, Aes, Hmac, Generic, Rsa, Ec };

// An asymmetric key's side of its pair; Crt is an RSA private key in CRT form.
enum class Role { Public, Private, Crt };

// A key object's contents. RSA keys keep their parts by name (n, e, d, p, q,
// dp, dq, qinv), EC keys theirs (field, a, b, g, r, w, s) and their cofactor.
struct KeyState : NativeState {
    Family family = Family::Des;
    std::int8_t type = 0;
    unsigned bits = 0;
    Bytes key; // a secret key's bytes
    bool initialized = false;
    std::optional<Memory> clearedOn; // a transient key's event
    Role role = Role::Public;
    std::map<std::string, Bytes> parts;
    std::int16_t cofactor = 1;

    std::size_t bytes() const { return (bits + 7) / 8; }
    // Its type and size and whether it is initialized; never its value.
    std::vector<std::pair<std::string, std::string>> shown() const override
    {
        return {{"type", std::to_string(type)}, {"size", std::to_string(bits)},
                {"initialized", initialized ? "true" : "false"}};
    }
    bool has(const char* part) const { return parts.count(part) != 0; }
    void clear();
    void check(); // initialized once every part its kind needs is set
    void reset() override;
    void cleared(Memory event) override;
    const char* stateKind() const override { return "key"; }
    void save(StateWriter& out) const override;
    static void load(StateReader& in, KeyState& key);
};

// The key argument `arg`: a key the runtime built, else CryptoException ILLEGAL_VALUE.
KeyState& keyOf(NativeCall& c, unsigned arg);
// An object's key state, or null where it is no key of the runtime's.
KeyState* keyAt(Vm& vm, Ref ref);

using Bn = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
Bn bn(const Bytes& bytes);
Bn newBn();
// `value` as `width` bytes, big-endian; 0 for its own length.
Bytes bnBytes(const BIGNUM* value, std::size_t width);

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

// An EC key's domain as a libcrypto key, with `point` as its public key where
// given, or its private value where `withPrivate`. CryptoException
// ILLEGAL_VALUE where the domain or the point is not sound.
Pkey ecKey(NativeCall& c, const KeyState& key, const Bytes* point, bool withPrivate);
// The byte length of the order of an EC key's domain.
std::size_t ecOrderBytes(const KeyState& key);

// The RSA operation with `key` on `input` (the modulus's length).
Bytes rsaApply(NativeCall& c, const KeyState& key, const Bytes& input);
// The hash of `data` by a digest named as libcrypto names it ("SHA256").
Bytes hashOf(NativeCall& c, const char* digest, const Bytes& data);
// PKCS#1's mask generation function MGF1 over `digest`.
Bytes mgf1(NativeCall& c, const char* digest, const Bytes& seed, std::size_t length);

// One pass of DES/3DES or AES over whole blocks, no padding; a DES key of 8
// or 16 bytes is used as 3DES with K1 K1 K1 or K1 K2 K1.
Bytes blockCipher(NativeCall& c, Family family, const Bytes& key, bool cbc, bool encrypt, const Bytes& iv,
                  const Bytes& in);

enum class Pad { None, M1, M2, Pkcs5, Pkcs1, Oaep };
void pad(Bytes& data, Pad padding, std::size_t block);
// Removes M2 or PKCS#5 padding after decryption; false where there is none.
bool unpad(Bytes& data, Pad padding, std::size_t block);

// PKCS#1 v1.5 padding: type 1 (signatures, FF bytes) or 2 (encryption, random bytes).
Bytes pkcs1Pad(NativeCall& c, const Bytes& data, std::size_t k, std::uint8_t type);
std::optional<Bytes> pkcs1Unpad(const Bytes& block, std::uint8_t type);

// The key argument of init(key, mode[, iv, offset, length]) of a Cipher or a
// MAC: of `family`, set; the IV checked against the block (CBC only).
void initSecret(NativeCall& c, Family family, bool ivGiven, std::size_t block, bool cbc, Bytes& keyOut, Bytes& ivOut);
// The key argument of an RSA or EC init, set and of the role wanted (any
// where `wantPublic` is empty); an IV is refused, as these take none.
const KeyState& asymmetricKey(NativeCall& c, bool ivGiven, Family family, std::optional<bool> wantPublic,
                              const char* refusal);

// The state of the engine object `this` (argument 0) is: a Cipher's, a
// Signature's, ... Else CryptoException `reason`: the runtime did not make
// the object, or a OneShot was closed.
template <typename State> State& stateOf(NativeCall& c, const char* reason, const char* what)
{
    auto* state = dynamic_cast<State*>(c.objectArg(0).native.get());
    if (!state)
        cryptoThrow(c, reason, std::string("a ") + what + " the simulated card did not make, or one closed");
    return *state;
}

using NativeTable = std::unordered_map<std::string, Native>;
void addKeyNatives(NativeTable& table);
void addCipherNatives(NativeTable& table);
void addSignatureNatives(NativeTable& table);
// The restorers of ciphers' states, for the card file.
void registerCipherKinds();

} // namespace tolvane::runtime::crypto
