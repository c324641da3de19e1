#pragma once

// GlobalPlatform secure channels SCP02 and SCP03: the keys, the card's and
// the host's cryptograms, and the wrapping of every command after EXTERNAL
// AUTHENTICATE. Pure computation: what is sent, and when, is the session's.

#include "core/gp/crypto.h"

#include <memory>
#include <optional>
#include <string>

namespace tolvane::gp {

// A key set's three keys: 16 bytes each for SCP02, 16, 24 or 32 for SCP03.
struct StaticKeys {
    ByteVector enc, mac, dek;
};

// SCP03's key derivation: NIST SP 800-108 in counter mode with AES-CMAC
// (eleven zeros, the constant, a zero, the length in bits, the counter, then
// the context), cut to `bits`.
ByteVector scp03Derive(const ByteVector& key, std::uint8_t constant, unsigned bits, const ByteVector& context);
// An SCP02 session key: 3DES-CBC of the 2-byte constant, the sequence
// counter and zeros, under the static key.
ByteVector scp02SessionKey(const ByteVector& key, const ByteVector& constant, const ByteVector& counter);

// The default test key, 40 41 ... 4F, with which cards ship.
ByteVector defaultTestKey();

enum class Diversification { None, Emv, Visa2, Kdf3 };
// The card's keys made from a master key set and the 10 bytes of
// diversification data that INITIALIZE UPDATE gives.
StaticKeys diversified(const StaticKeys& master, Diversification how, const ByteVector& data);

enum class Protocol { Scp02 = 2, Scp03 = 3 };
enum class SecurityLevel : std::uint8_t { Mac = 0x01, MacAndEncryption = 0x03 };

// The card's answer to INITIALIZE UPDATE, read.
struct CardResponse {
    ByteVector diversificationData; // 10 bytes
    unsigned keyVersion = 0;
    Protocol protocol = Protocol::Scp03;
    unsigned i = 0;             // SCP03's i parameter, from the answer; 0 for SCP02
    ByteVector sequenceCounter; // 2 bytes (SCP02), 3 or none (SCP03)
    ByteVector cardChallenge;   // 6 (SCP02) or 8 bytes
    ByteVector cardCryptogram;  // 8 bytes
};

// Reads the data of INITIALIZE UPDATE's answer; a text that says what is
// wrong where it is no such answer.
std::optional<CardResponse> readInitializeUpdate(const ByteVector& data, std::string* problem);

// The INITIALIZE UPDATE command for `keyVersion` (0: the card's default).
ByteVector initializeUpdate(unsigned keyVersion, const ByteVector& hostChallenge);

// A secure channel being opened, then open: made from the static keys and
// the card's answer, it checks the card's cryptogram before anything else
// is sent, then makes EXTERNAL AUTHENTICATE and wraps each later command.
class SecureChannel {
public:
    virtual ~SecureChannel() = default;

    // Keys of the wrong length for the protocol are refused here (empty
    // pointer, with `problem` saying why).
    static std::unique_ptr<SecureChannel> make(const StaticKeys& keys, const CardResponse& card,
                                               const ByteVector& hostChallenge, std::string* problem);

    // Whether the card proved it holds the same keys: nothing may be sent
    // after INITIALIZE UPDATE unless it did.
    bool cardCryptogramMatches() const { return expectedCardCryptogram() == card_.cardCryptogram; }

    // EXTERNAL AUTHENTICATE at `level`, MACed, with class `cla` (80, or
    // GlobalPlatform's class of another logical channel) and its secure
    // messaging indication; the channel wraps from here on.
    virtual ByteVector externalAuthenticate(SecurityLevel level, std::uint8_t cla = 0x80) = 0;

    // `apdu` (CLA INS P1 P2 [Lc data] [Le]) as sent inside the channel.
    virtual ByteVector wrap(const ByteVector& apdu) = 0;

    Protocol protocol() const { return card_.protocol; }
    const CardResponse& card() const { return card_; }
    SecurityLevel level() const { return level_; }
    // Whether command data is encrypted (C-DECRYPTION, bit 2 of the level).
    bool encrypts() const { return (static_cast<std::uint8_t>(level_) & 0x02) != 0; }

    // A new key as PUT KEY carries it: under SCP02 3DES-ECB with the session
    // DEK, under SCP03 AES-CBC with the static DEK and a zero IV, zeros
    // filling the last block of a 24-byte key.
    virtual ByteVector encryptedKey(const ByteVector& key) const = 0;

    // The session keys, for tests against published vectors.
    virtual ByteVector sessionEnc() const = 0;
    virtual ByteVector sessionMac() const = 0;

protected:
    SecureChannel(const CardResponse& card, const ByteVector& hostChallenge) : card_(card), host_(hostChallenge) {}
    virtual ByteVector expectedCardCryptogram() const = 0;

    CardResponse card_;
    ByteVector host_;
    SecurityLevel level_ = SecurityLevel::Mac;
};

// The class byte's secure messaging indication: bit 04 where the class is
// coded for logical channels 0 to 3, bit 20 where it is coded for channels 4
// to 19 (bit 40 set), bits 01 to 08 being the channel's there.
constexpr bool secureMessaging(std::uint8_t cla)
{
    return (cla & 0x40) ? (cla & 0x20) != 0 : (cla & 0x04) != 0;
}
constexpr std::uint8_t withSecureMessaging(std::uint8_t cla)
{
    return static_cast<std::uint8_t>(cla | ((cla & 0x40) ? 0x20 : 0x04));
}
constexpr std::uint8_t withoutSecureMessaging(std::uint8_t cla)
{
    return static_cast<std::uint8_t>(cla & ~((cla & 0x40) ? 0x20 : 0x04));
}

// An APDU taken apart: header, command data, and Le where there is one.
struct ApduParts {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    ByteVector data;
    std::optional<std::uint8_t> le;
};
ApduParts partsOf(const ByteVector& apdu);

} // namespace tolvane::gp
