#include "core/gp/card_channel.h"

#include <algorithm>
#include <stdexcept>

namespace tolvane::gp {
namespace {

ByteVector slice(const ByteVector& bytes, std::size_t from, std::size_t count)
{
    return ByteVector(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

ByteVector lastBlock(const ByteVector& bytes)
{
    return slice(bytes, bytes.size() - 8, 8);
}

bool sameBytes(const ByteVector& a, const ByteVector& b)
{
    // Every byte compared, so that how long the check takes says nothing of
    // where a guess went wrong.
    std::uint8_t difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

CardChannel::CardChannel(const StaticKeys& keys, const CardChannelSetup& setup, const ByteVector& hostChallenge)
    : setup_(setup), keys_(keys), host_(hostChallenge)
{
    answer_ = setup.diversificationData;
    answer_.resize(10, 0x00);
    answer_.push_back(static_cast<std::uint8_t>(setup.keyVersion));
    if (setup.protocol == Protocol::Scp03) {
        cardChallenge_ = (setup.i & 0x10) ? scp03Derive(keys.enc, 0x02, 64, joined({setup.counter, setup.sdAid}))
                                          : slice(setup.random, 0, 8);
        const ByteVector context = joined({host_, cardChallenge_});
        const unsigned bits = static_cast<unsigned>(keys.enc.size() * 8);
        sEnc_ = scp03Derive(keys.enc, 0x04, bits, context);
        sMac_ = scp03Derive(keys.mac, 0x06, bits, context);
        sRmac_ = scp03Derive(keys.mac, 0x07, bits, context);
        hostCryptogram_ = scp03Derive(sMac_, 0x01, 64, context);
        const ByteVector cardCryptogram = scp03Derive(sMac_, 0x00, 64, context);
        answer_ = joined({answer_, {0x03, static_cast<std::uint8_t>(setup.i)}, cardChallenge_, cardCryptogram});
        if (setup.i & 0x10)
            answer_ = joined({answer_, setup.counter});
        return;
    }
    cardChallenge_ = slice(setup.random, 0, 6);
    sEnc_ = scp02SessionKey(keys.enc, {0x01, 0x82}, setup.counter);
    sMac_ = scp02SessionKey(keys.mac, {0x01, 0x01}, setup.counter);
    sRmac_ = scp02SessionKey(keys.mac, {0x01, 0x02}, setup.counter);
    sDek_ = scp02SessionKey(keys.dek, {0x01, 0x81}, setup.counter);
    const ByteVector cardData = joined({host_, setup.counter, cardChallenge_});
    const ByteVector hostData = joined({setup.counter, cardChallenge_, host_});
    const ByteVector cardCryptogram = lastBlock(des3Cbc(sEnc_, {}, padded(cardData, 8)));
    hostCryptogram_ = lastBlock(des3Cbc(sEnc_, {}, padded(hostData, 8)));
    answer_ = joined({answer_, {0x02}, setup.counter, cardChallenge_, cardCryptogram});
}

ByteVector CardChannel::scp03Mac(const ByteVector& header, const ByteVector& body)
{
    return aesCmac(sMac_, joined({chain_, header, body}));
}

ByteVector CardChannel::scp02Mac(const ByteVector& macked)
{
    // The session's first MAC starts from zeros, each later one from the
    // last, enciphered under the first half of the MAC key (i = 15 and 55).
    const ByteVector iv = open_ ? desCbc(slice(sMac_, 0, 8), {}, chain_) : ByteVector(8, 0x00);
    return retailMac(sMac_, iv, macked);
}

Authentication CardChannel::authenticate(const ByteVector& command)
{
    // The class is GlobalPlatform's with secure messaging, on any logical
    // channel; a trailing Le, which some hosts send, is no part of the MAC.
    if ((command.size() != 5 + 16 && command.size() != 5 + 16 + 1) || !(command[0] & 0x80) ||
        !secureMessaging(command[0]) || command[4] != 16)
        return {Authentication::Malformed, "EXTERNAL AUTHENTICATE carries the host cryptogram and a MAC, 16 bytes, "
                                           "with GlobalPlatform's class and secure messaging (84 on channel 0)"};
    const std::uint8_t asked = command[2];
    const ByteVector header = slice(command, 0, 5);
    const ByteVector cryptogram = slice(command, 5, 8), mac = slice(command, 13, 8);
    ByteVector expected;
    if (setup_.protocol == Protocol::Scp03) {
        expected = scp03Mac(header, cryptogram);
    } else {
        chain_.clear();
        expected = scp02Mac(joined({header, cryptogram}));
    }
    if (!sameBytes(cryptogram, hostCryptogram_))
        return {Authentication::Failed, "the host cryptogram is wrong: the host has other keys"};
    if (!sameBytes(slice(expected, 0, 8), mac))
        return {Authentication::Failed, "the MAC of EXTERNAL AUTHENTICATE is wrong"};
    if (!offers(asked))
        return {Authentication::LevelRefused,
                "security level " + std::to_string(asked) + " is not one this session offers"};
    chain_ = setup_.protocol == Protocol::Scp03 ? expected : slice(expected, 0, 8);
    level_ = asked;
    open_ = true;
    return {Authentication::Open, {}};
}

bool CardChannel::offers(std::uint8_t wanted) const
{
    // R-MAC where i offers it, R-ENCRYPTION with R-MAC and C-DECRYPTION,
    // C-DECRYPTION with C-MAC.
    const bool rmacOffered = (setup_.i & 0x20) != 0;
    const bool rencOffered = setup_.protocol == Protocol::Scp03 && (setup_.i & 0x40) != 0;
    const bool known = (wanted & ~(level::cmac | level::cdecryption | level::rmac | level::rencryption)) == 0;
    return known && !((wanted & level::cdecryption) && !(wanted & level::cmac)) &&
           !((wanted & level::rmac) && !rmacOffered) &&
           !((wanted & level::rencryption) &&
             (!rencOffered || !(wanted & level::rmac) || !(wanted & level::cdecryption)));
}

bool CardChannel::raiseLevel(std::uint8_t wanted)
{
    if (!open_ || (wanted & level_) != level_ || !offers(wanted))
        return false;
    level_ = wanted;
    return true;
}

ByteVector CardChannel::counterBlock(std::uint8_t first) const
{
    ByteVector block(16, 0x00);
    block[0] = first;
    for (int b = 0; b < 4; ++b)
        block[15 - b] = static_cast<std::uint8_t>(counter_ >> (8 * b));
    return block;
}

std::variant<ByteVector, std::string> CardChannel::unwrap(const ByteVector& command)
{
    if (command.size() < 4)
        return std::string("a command shorter than its header");
    if (setup_.protocol == Protocol::Scp03)
        ++counter_; // every command of the session counts, with data or not
    if (!secureMessaging(command[0])) {
        if (level_ & level::cmac)
            return std::string("a command without secure messaging, and the session asks for a MAC");
        return command;
    }
    ApduParts parts;
    try {
        parts = partsOf(command);
    } catch (const std::invalid_argument&) {
        return std::string("the command's Lc does not fit its length");
    }
    if (parts.data.size() < 8)
        return std::string("a command with secure messaging and no room for its MAC");
    const ByteVector mac = slice(parts.data, parts.data.size() - 8, 8);
    ByteVector body = slice(parts.data, 0, parts.data.size() - 8);
    const ByteVector header = slice(command, 0, 5);
    const std::uint8_t cla = withoutSecureMessaging(parts.cla);
    if (setup_.protocol == Protocol::Scp03) {
        const ByteVector expected = scp03Mac(header, body);
        if (!sameBytes(slice(expected, 0, 8), mac))
            return std::string("the command's MAC is wrong");
        chain_ = expected;
        if ((level_ & level::cdecryption) && !body.empty()) {
            if (body.size() % 16 != 0)
                return std::string("enciphered data of " + std::to_string(body.size()) + " bytes, not whole blocks");
            const auto plain = unpadded(aesCbcDecrypt(sEnc_, aesEcb(sEnc_, counterBlock(0x00)), body));
            if (!plain)
                return std::string("the deciphered data has no padding");
            body = *plain;
        }
    } else {
        if ((level_ & level::cdecryption) && !body.empty()) {
            if (body.size() % 8 != 0)
                return std::string("enciphered data of " + std::to_string(body.size()) + " bytes, not whole blocks");
            const auto plain = unpadded(des3CbcDecrypt(sEnc_, {}, body));
            if (!plain)
                return std::string("the deciphered data has no padding");
            body = *plain;
        }
        ByteVector macked{command[0], parts.ins, parts.p1, parts.p2, static_cast<std::uint8_t>(body.size() + 8)};
        macked.insert(macked.end(), body.begin(), body.end());
        const ByteVector expected = scp02Mac(macked);
        if (!sameBytes(expected, mac))
            return std::string("the command's MAC is wrong");
        chain_ = expected;
    }
    ByteVector plain{cla, parts.ins, parts.p1, parts.p2};
    if (!body.empty()) {
        plain.push_back(static_cast<std::uint8_t>(body.size()));
        plain.insert(plain.end(), body.begin(), body.end());
    }
    if (parts.le)
        plain.push_back(*parts.le);
    return plain;
}

ByteVector CardChannel::protect(const ByteVector& data, std::uint16_t sw)
{
    const std::uint8_t sw1 = static_cast<std::uint8_t>(sw >> 8);
    if (!(level_ & level::rmac) || setup_.protocol != Protocol::Scp03 ||
        !(sw == 0x9000 || sw1 == 0x62 || sw1 == 0x63))
        return data;
    ByteVector body = data;
    if ((level_ & level::rencryption) && !body.empty())
        body = aesCbc(sEnc_, aesEcb(sEnc_, counterBlock(0x80)), padded(body, 16));
    const ByteVector rmac = aesCmac(sRmac_, joined({chain_, body, {sw1, static_cast<std::uint8_t>(sw)}}));
    return joined({body, slice(rmac, 0, 8)});
}

ByteVector CardChannel::decryptKey(const ByteVector& encrypted) const
{
    if (setup_.protocol == Protocol::Scp02)
        return des3EcbDecrypt(sDek_, encrypted);
    return aesCbcDecrypt(keys_.dek, ByteVector(16, 0x00), encrypted);
}

ByteVector CardChannel::encryptData(const ByteVector& plain) const
{
    if (setup_.protocol == Protocol::Scp02)
        return des3Ecb(sDek_, plain);
    return aesCbc(keys_.dek, ByteVector(16, 0x00), plain);
}

ByteVector CardChannel::decryptData(const ByteVector& enciphered) const
{
    return decryptKey(enciphered);
}

} // namespace tolvane::gp
