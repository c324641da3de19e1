#pragma once

// The block cipher work of the secure channels, every byte of it done by
// OpenSSL's libcrypto through its EVP interfaces. Single DES is two-key
// triple DES with both halves the same key, which gives the same result and
// needs no legacy provider.

#include <cstdint>
#include <vector>

namespace tolvane::gp {

using Bytes = std::vector<std::uint8_t>;

// AES-CMAC under a key of 16, 24 or 32 bytes.
Bytes aesCmac(const Bytes& key, const Bytes& data);
// AES-CBC without padding: `data` is whole blocks.
Bytes aesCbc(const Bytes& key, const Bytes& iv, const Bytes& data);
// One AES block in ECB.
Bytes aesEcb(const Bytes& key, const Bytes& block);

// Two-key triple DES (16-byte key) in CBC without padding, or ECB.
Bytes des3Cbc(const Bytes& key, const Bytes& iv, const Bytes& data);
Bytes des3Ecb(const Bytes& key, const Bytes& data);
// Single DES, CBC without padding, under an 8-byte key.
Bytes desCbc(const Bytes& key, const Bytes& iv, const Bytes& data);

// ISO 9797-1 method 2 padding: 80, then zeros to a multiple of `block`.
Bytes padded(Bytes data, std::size_t block);

// ISO 9797-1 MAC algorithm 3 with a 16-byte key (the retail MAC): single DES
// CBC under the first half, then triple DES on the last block; `data` is
// padded here.
Bytes retailMac(const Bytes& key, const Bytes& iv, const Bytes& data);

// A key's check value: the first 3 bytes of a block of zeros (3DES) or of
// ones (AES) encrypted under it.
Bytes checkValue(const Bytes& key, bool aes);

// The bytes of `a` then `b`, ...
Bytes joined(std::initializer_list<Bytes> parts);

} // namespace tolvane::gp
