#include "core/gp/crypto.h"

#include "core/base/owned.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <stdexcept>

namespace tolvane::gp {
namespace {

[[noreturn]] void failed(const char* what)
{
    throw std::runtime_error(std::string("libcrypto could not compute ") + what);
}

// Enciphers (or deciphers) whole blocks with `cipher`, no padding.
ByteVector crypt(const EVP_CIPHER* cipher, const ByteVector& key, const ByteVector& iv, const ByteVector& data,
                 const char* what, bool encrypting = true)
{
    const Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> context(EVP_CIPHER_CTX_new());
    ByteVector out(data.size() + 32);
    int written = 0, last = 0;
    if (!context ||
        EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data(),
                          encrypting ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_CipherUpdate(context.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out.data() + written, &last) != 1)
        failed(what);
    out.resize(static_cast<std::size_t>(written + last));
    return out;
}

ByteVector encrypt(const EVP_CIPHER* cipher, const ByteVector& key, const ByteVector& iv, const ByteVector& data,
                   const char* what)
{
    return crypt(cipher, key, iv, data, what);
}

const EVP_CIPHER* aesCipher(std::size_t keySize, bool cbc)
{
    switch (keySize) {
    case 16:
        return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24:
        return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case 32:
        return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
    throw std::invalid_argument("an AES key has 16, 24 or 32 bytes");
}

void needDesKey(const ByteVector& key, std::size_t size)
{
    if (key.size() != size)
        throw std::invalid_argument("a DES key of the wrong length");
}

} // namespace

ByteVector aesCmac(const ByteVector& key, const ByteVector& data)
{
    aesCipher(key.size(), true);
    const Owned<EVP_MAC, EVP_MAC_free> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr));
    const Owned<EVP_MAC_CTX, EVP_MAC_CTX_free> context(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    const char* cipher = key.size() == 16 ? "AES-128-CBC" : key.size() == 24 ? "AES-192-CBC" : "AES-256-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(cipher), 0),
                           OSSL_PARAM_construct_end()};
    ByteVector out(16);
    std::size_t length = 0;
    if (!context || EVP_MAC_init(context.get(), key.data(), key.size(), params) != 1 ||
        EVP_MAC_update(context.get(), data.data(), data.size()) != 1 ||
        EVP_MAC_final(context.get(), out.data(), &length, out.size()) != 1)
        failed("an AES-CMAC");
    out.resize(length);
    return out;
}

ByteVector aesCbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    return encrypt(aesCipher(key.size(), true), key, iv, data, "AES-CBC");
}

ByteVector aesEcb(const ByteVector& key, const ByteVector& block)
{
    return encrypt(aesCipher(key.size(), false), key, {}, block, "AES-ECB");
}

ByteVector des3Cbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    needDesKey(key, 16);
    return encrypt(EVP_des_ede_cbc(), key, iv.empty() ? ByteVector(8, 0) : iv, data, "3DES-CBC");
}

ByteVector des3Ecb(const ByteVector& key, const ByteVector& data)
{
    needDesKey(key, 16);
    return encrypt(EVP_des_ede_ecb(), key, {}, data, "3DES-ECB");
}

ByteVector desCbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    needDesKey(key, 8);
    return encrypt(EVP_des_ede_cbc(), joined({key, key}), iv.empty() ? ByteVector(8, 0) : iv, data, "DES-CBC");
}

ByteVector aesCbcDecrypt(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    return crypt(aesCipher(key.size(), true), key, iv, data, "AES-CBC", false);
}

ByteVector des3CbcDecrypt(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    needDesKey(key, 16);
    return crypt(EVP_des_ede_cbc(), key, iv.empty() ? ByteVector(8, 0) : iv, data, "3DES-CBC", false);
}

ByteVector des3EcbDecrypt(const ByteVector& key, const ByteVector& data)
{
    needDesKey(key, 16);
    return crypt(EVP_des_ede_ecb(), key, {}, data, "3DES-ECB", false);
}

std::optional<ByteVector> unpadded(ByteVector data)
{
    while (!data.empty() && data.back() == 0x00)
        data.pop_back();
    if (data.empty() || data.back() != 0x80)
        return std::nullopt;
    data.pop_back();
    return data;
}

ByteVector padded(ByteVector data, std::size_t block)
{
    data.push_back(0x80);
    while (data.size() % block != 0)
        data.push_back(0x00);
    return data;
}

ByteVector retailMac(const ByteVector& key, const ByteVector& iv, const ByteVector& data)
{
    needDesKey(key, 16);
    const ByteVector message = padded(data, 8);
    const ByteVector first(key.begin(), key.begin() + 8);
    ByteVector chain = iv.empty() ? ByteVector(8, 0) : iv;
    if (message.size() > 8) {
        const ByteVector head(message.begin(), message.end() - 8);
        const ByteVector cbc = desCbc(first, chain, head);
        chain.assign(cbc.end() - 8, cbc.end());
    }
    const ByteVector last(message.end() - 8, message.end());
    return des3Cbc(key, chain, last);
}

ByteVector checkValue(const ByteVector& key, bool aes)
{
    const ByteVector value = aes ? aesEcb(key, ByteVector(16, 0x01)) : des3Ecb(key, ByteVector(8, 0x00));
    return ByteVector(value.begin(), value.begin() + 3);
}

ByteVector joined(std::initializer_list<ByteVector> parts)
{
    ByteVector out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace tolvane::gp
