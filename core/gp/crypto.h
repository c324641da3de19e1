#pragma once

// The block cipher work of the secure channels, every byte of it done by
// OpenSSL's libcrypto through its EVP interfaces. Single DES is two-key
// triple DES with both halves the same key, which gives the same result and
// needs no legacy provider.

#include <cstdint>
#include <optional>
#include <vector>

namespace tolvane::gp {

using ByteVector = std::vector<std::uint8_t>;

// AES-CMAC under a key of 16, 24 or 32 bytes.
ByteVector aesCmac(const ByteVector& key, const ByteVector& data);
// AES-CBC without padding: `data` is whole blocks.
ByteVector aesCbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data);
// One AES block in ECB.
ByteVector aesEcb(const ByteVector& key, const ByteVector& block);

// Two-key triple DES (16-byte key) in CBC without padding, or ECB.
ByteVector des3Cbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data);
ByteVector des3Ecb(const ByteVector& key, const ByteVector& data);
// Single DES, CBC without padding, under an 8-byte key.
ByteVector desCbc(const ByteVector& key, const ByteVector& iv, const ByteVector& data);

// The same ciphers deciphering, for the card's side.
ByteVector aesCbcDecrypt(const ByteVector& key, const ByteVector& iv, const ByteVector& data);
ByteVector des3CbcDecrypt(const ByteVector& key, const ByteVector& iv, const ByteVector& data);
ByteVector des3EcbDecrypt(const ByteVector& key, const ByteVector& data);

// The data before ISO 9797-1 method 2 padding; none where the padding is not there.
std::optional<ByteVector> unpadded(ByteVector data);

// ISO 9797-1 method 2 padding: 80, then zeros to a multiple of `block`.
ByteVector padded(ByteVector data, std::size_t block);

// ISO 9797-1 MAC algorithm 3 with a 16-byte key (the retail MAC): single DES
// CBC under the first half, then triple DES on the last block; `data` is
// padded here.
ByteVector retailMac(const ByteVector& key, const ByteVector& iv, const ByteVector& data);

// A key's check value: the first 3 bytes of a block of zeros (3DES) or of
// ones (AES) encrypted under it.
ByteVector checkValue(const ByteVector& key, bool aes);

// The bytes of `a` then `b`, ...
ByteVector joined(std::initializer_list<ByteVector> parts);

} // namespace tolvane::gp
