#pragma once

// The card's side of SCP02 and SCP03: INITIALIZE UPDATE answered, EXTERNAL
// AUTHENTICATE checked, and each later command's MAC checked and its data
// deciphered, each answer MACed and enciphered where the level asks. The
// derivations are the host side's own, so both sides agree by construction
// on the keys and by test on everything else.

#include "core/gp/secure_channel.h"

#include <cstdint>
#include <string>
#include <variant>

namespace tolvane::gp {

// The security level's bits, as EXTERNAL AUTHENTICATE's P1 gives them.
namespace level {
constexpr std::uint8_t cmac = 0x01, cdecryption = 0x02, rmac = 0x10, rencryption = 0x20;
}

// What the card brings to a new session.
struct CardChannelSetup {
    Protocol protocol = Protocol::Scp03;
    unsigned i = 0x00;              // SCP03: 00, 10, 30, 70; SCP02: 15, 55
    unsigned keyVersion = 1;
    ByteVector diversificationData; // 10 bytes
    ByteVector sdAid;               // SCP03's pseudo-random challenge is made from it
    ByteVector counter;             // SCP02: 2 bytes; SCP03 with i & 10: 3 bytes
    ByteVector random;              // the card's challenge where it is random: 8 bytes (6 used by SCP02)
};

// What became of EXTERNAL AUTHENTICATE. Only Failed is a failed
// authentication: a command that is not one proves nothing of the keys.
struct Authentication {
    enum Outcome { Open, Malformed, LevelRefused, Failed } outcome;
    std::string why;
};

class CardChannel {
public:
    CardChannel(const StaticKeys& keys, const CardChannelSetup& setup, const ByteVector& hostChallenge);

    // The data of INITIALIZE UPDATE's answer.
    const ByteVector& answer() const { return answer_; }

    // EXTERNAL AUTHENTICATE as received (class 84 on channel 0): Open where
    // the host's cryptogram and MAC are right and the level is one this
    // channel gives, and the session is open from here on; else why not.
    Authentication authenticate(const ByteVector& command);
    bool isOpen() const { return open_; }
    std::uint8_t securityLevel() const { return level_; }
    // Raises the open session's level (to add R-MAC, say): false where
    // `wanted` drops a protection the session has or asks one i does not offer.
    bool raiseLevel(std::uint8_t wanted);

    // A command received in the open session: its plain form (CLA without
    // the secure messaging bit, Lc of the plain data, Le kept), or why it is
    // refused. A command without secure messaging is refused where the
    // level asks for a MAC.
    std::variant<ByteVector, std::string> unwrap(const ByteVector& command);

    // The answer's data as the level protects it: enciphered (R-ENCRYPTION)
    // and MACed (R-MAC) over the data and status word.
    ByteVector protect(const ByteVector& data, std::uint16_t sw);

    // A key as PUT KEY carries it, deciphered: SCP02 with the session DEK in
    // 3DES-ECB, SCP03 with the static DEK in AES-CBC from a zero IV.
    ByteVector decryptKey(const ByteVector& encrypted) const;

    // Data enciphered and deciphered under the session's encryption key, as
    // the applets' SecureChannel.encryptData and decryptData ask (SCP02:
    // 3DES-ECB under the session DEK; SCP03: AES-CBC from a zero IV under
    // the static DEK).
    ByteVector encryptData(const ByteVector& plain) const;
    ByteVector decryptData(const ByteVector& enciphered) const;

    Protocol protocol() const { return setup_.protocol; }

private:
    ByteVector scp03Mac(const ByteVector& header, const ByteVector& body);
    ByteVector scp02Mac(const ByteVector& macked);
    ByteVector counterBlock(std::uint8_t first) const;
    bool offers(std::uint8_t wanted) const;

    CardChannelSetup setup_;
    StaticKeys keys_;
    ByteVector host_, cardChallenge_, answer_;
    ByteVector sEnc_, sMac_, sRmac_, sDek_, hostCryptogram_;
    ByteVector chain_ = ByteVector(16, 0x00); // SCP03's MAC chain; SCP02's last C-MAC
    std::uint32_t counter_ = 0;               // SCP03's encryption counter
    std::uint8_t level_ = 0;
    bool open_ = false;
};

} // namespace tolvane::gp
