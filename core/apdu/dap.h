#pragma once

// DAP signatures over a Load File Data Block hash, through OpenSSL's
// libcrypto: RSA 1024 signs with PKCS#1 v1.5 and SHA-1, longer RSA keys with
// PSS (SHA-256, MGF1 SHA-256, a 32-byte salt), P-256 and P-384 keys with
// ECDSA over SHA-256 and SHA-384 (r then s, each at the curve's length), and
// AES keys with CMAC.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::apdu {

class DapSigner {
public:
    // Reads the key at `path`: a PEM private key without a passphrase, or a
    // file holding an AES key of 16, 24 or 32 bytes in hex. Throws Error
    // (CannotOpen) naming the file and what is wrong with it.
    static DapSigner load(const std::string& path);

    ~DapSigner();
    DapSigner(DapSigner&&) noexcept;
    DapSigner& operator=(DapSigner&&) noexcept;

    // "rsa-pkcs1-sha1", "rsa-pss-sha256", "ecdsa-p256-sha256", "ecdsa-p384-sha384" or "aes-cmac".
    const std::string& algorithm() const { return algorithm_; }
    std::vector<std::uint8_t> sign(const std::vector<std::uint8_t>& hash) const;

private:
    DapSigner() = default;
    struct Key;
    std::unique_ptr<Key> key_;
    std::string algorithm_;
    std::string path_;
};

// An ECDSA signature in DER as a card takes it: r then s, each left-padded
// with zeros to `coordinate` bytes (the curve's size); nothing for DER that
// is no signature, or a value longer than the curve.
std::optional<std::vector<std::uint8_t>> ecdsaRawSignature(const std::vector<std::uint8_t>& der,
                                                           std::size_t coordinate);

} // namespace tolvane::apdu
