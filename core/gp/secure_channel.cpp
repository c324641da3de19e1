#include "core/gp/secure_channel.h"

#include <stdexcept>

namespace tolvane::gp {
namespace {

ByteVector slice(const ByteVector& bytes, std::size_t from, std::size_t count)
{
    return ByteVector(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

ByteVector withHeader(const ApduParts& parts, std::uint8_t cla, std::size_t lc)
{
    return {cla, parts.ins, parts.p1, parts.p2, static_cast<std::uint8_t>(lc)};
}

// SCP03: AES keys, CMAC, a MAC chain.
class Scp03 final : public SecureChannel {
public:
    Scp03(const StaticKeys& keys, const CardResponse& card, const ByteVector& host) : SecureChannel(card, host)
    {
        const ByteVector context = joined({host_, card_.cardChallenge});
        const unsigned bits = static_cast<unsigned>(keys.enc.size() * 8);
        sEnc_ = scp03Derive(keys.enc, 0x04, bits, context);
        sMac_ = scp03Derive(keys.mac, 0x06, bits, context);
        dek_ = keys.dek;
        cardCryptogram_ = scp03Derive(sMac_, 0x00, 64, context);
        hostCryptogram_ = scp03Derive(sMac_, 0x01, 64, context);
    }

    ByteVector externalAuthenticate(SecurityLevel level, std::uint8_t cla) override
    {
        level_ = level;
        ByteVector command{cla, 0x82, static_cast<std::uint8_t>(level), 0x00, 0x08};
        command.insert(command.end(), hostCryptogram_.begin(), hostCryptogram_.end());
        return macOnly(partsOf(command));
    }

    ByteVector wrap(const ByteVector& apdu) override
    {
        ApduParts parts = partsOf(apdu);
        ++counter_;
        if (encrypts() && !parts.data.empty()) {
            ByteVector block(16, 0x00);
            for (int b = 0; b < 4; ++b)
                block[15 - b] = static_cast<std::uint8_t>(counter_ >> (8 * b));
            const ByteVector iv = aesEcb(sEnc_, block);
            parts.data = aesCbc(sEnc_, iv, padded(parts.data, 16));
        }
        return macOnly(parts);
    }

    ByteVector encryptedKey(const ByteVector& key) const override
    {
        ByteVector block = key;
        block.resize((key.size() + 15) / 16 * 16, 0x00);
        return aesCbc(dek_, ByteVector(16, 0x00), block);
    }

    ByteVector sessionEnc() const override { return sEnc_; }
    ByteVector sessionMac() const override { return sMac_; }

private:
    ByteVector expectedCardCryptogram() const override { return cardCryptogram_; }

    ByteVector macOnly(const ApduParts& parts)
    {
        const std::uint8_t cla = withSecureMessaging(parts.cla);
        ByteVector command = withHeader(parts, cla, parts.data.size() + 8);
        command.insert(command.end(), parts.data.begin(), parts.data.end());
        chain_ = aesCmac(sMac_, joined({chain_, command}));
        command.insert(command.end(), chain_.begin(), chain_.begin() + 8);
        if (parts.le)
            command.push_back(*parts.le);
        return command;
    }

    ByteVector sEnc_, sMac_, dek_, cardCryptogram_, hostCryptogram_;
    ByteVector chain_ = ByteVector(16, 0x00);
    std::uint32_t counter_ = 0;
};

// SCP02: two-key 3DES keys, the retail MAC, i = 15 or 55 (the MAC's ICV
// encrypted).
class Scp02 final : public SecureChannel {
public:
    Scp02(const StaticKeys& keys, const CardResponse& card, const ByteVector& host) : SecureChannel(card, host)
    {
        sEnc_ = sessionKey(keys.enc, 0x01, 0x82);
        sMac_ = sessionKey(keys.mac, 0x01, 0x01);
        sDek_ = sessionKey(keys.dek, 0x01, 0x81);
        const ByteVector cardData = joined({host_, card_.sequenceCounter, card_.cardChallenge});
        const ByteVector hostData = joined({card_.sequenceCounter, card_.cardChallenge, host_});
        cardCryptogram_ = lastBlock(des3Cbc(sEnc_, {}, padded(cardData, 8)));
        hostCryptogram_ = lastBlock(des3Cbc(sEnc_, {}, padded(hostData, 8)));
    }

    ByteVector sessionKey(const ByteVector& key, std::uint8_t high, std::uint8_t low) const
    {
        return scp02SessionKey(key, {high, low}, card_.sequenceCounter);
    }

    ByteVector externalAuthenticate(SecurityLevel level, std::uint8_t cla) override
    {
        level_ = level;
        ByteVector command{cla, 0x82, static_cast<std::uint8_t>(level), 0x00, 0x08};
        command.insert(command.end(), hostCryptogram_.begin(), hostCryptogram_.end());
        return wrapWith(partsOf(command), false);
    }

    ByteVector wrap(const ByteVector& apdu) override { return wrapWith(partsOf(apdu), encrypts()); }

    ByteVector encryptedKey(const ByteVector& key) const override { return des3Ecb(sDek_, key); }

    ByteVector sessionEnc() const override { return sEnc_; }
    ByteVector sessionMac() const override { return sMac_; }

private:
    static ByteVector lastBlock(const ByteVector& bytes) { return slice(bytes, bytes.size() - 8, 8); }

    ByteVector expectedCardCryptogram() const override { return cardCryptogram_; }

    // The MAC over the plain command, its length counting the MAC; then the
    // data encrypted where asked.
    ByteVector wrapWith(ApduParts parts, bool encrypt)
    {
        const std::uint8_t cla = withSecureMessaging(parts.cla);
        ByteVector macked = withHeader(parts, cla, parts.data.size() + 8);
        macked.insert(macked.end(), parts.data.begin(), parts.data.end());
        // The first MAC of a session starts from zeros; each later one from
        // the last, encrypted under the first half of the MAC key.
        const ByteVector iv = mac_.empty() ? ByteVector(8, 0x00) : desCbc(slice(sMac_, 0, 8), {}, mac_);
        mac_ = retailMac(sMac_, iv, macked);
        ByteVector data = parts.data;
        if (encrypt && !data.empty())
            data = des3Cbc(sEnc_, {}, padded(data, 8));
        ByteVector command = withHeader(parts, cla, data.size() + 8);
        command.insert(command.end(), data.begin(), data.end());
        command.insert(command.end(), mac_.begin(), mac_.end());
        if (parts.le)
            command.push_back(*parts.le);
        return command;
    }

    ByteVector sEnc_, sMac_, sDek_, cardCryptogram_, hostCryptogram_, mac_;
};

ByteVector diversifiedDes(const ByteVector& master, const ByteVector& part, std::uint8_t k)
{
    ByteVector data = part;
    data.push_back(0xF0);
    data.push_back(k);
    data.insert(data.end(), part.begin(), part.end());
    data.push_back(0x0F);
    data.push_back(k);
    return des3Ecb(master, data);
}

ByteVector diversifiedAes(const ByteVector& master, std::uint8_t k, const ByteVector& data)
{
    ByteVector out;
    for (std::uint8_t i = 1; out.size() < master.size(); ++i) {
        ByteVector input{i, 0x00, 0x00, 0x00, k, 0x00};
        input.insert(input.end(), data.begin(), data.end());
        const ByteVector block = aesCmac(master, input);
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(master.size());
    return out;
}

} // namespace

ByteVector scp03Derive(const ByteVector& key, std::uint8_t constant, unsigned bits, const ByteVector& context)
{
    ByteVector out;
    for (std::uint8_t i = 1; out.size() * 8 < bits; ++i) {
        ByteVector data(11, 0x00);
        data.push_back(constant);
        data.push_back(0x00);
        data.push_back(static_cast<std::uint8_t>(bits >> 8));
        data.push_back(static_cast<std::uint8_t>(bits));
        data.push_back(i);
        data.insert(data.end(), context.begin(), context.end());
        const ByteVector block = aesCmac(key, data);
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(bits / 8);
    return out;
}

ByteVector scp02SessionKey(const ByteVector& key, const ByteVector& constant, const ByteVector& counter)
{
    ByteVector data = joined({constant, counter});
    data.resize(16, 0x00);
    return des3Cbc(key, {}, data);
}

ByteVector defaultTestKey()
{
    ByteVector key;
    for (std::uint8_t b = 0x40; b <= 0x4F; ++b)
        key.push_back(b);
    return key;
}

StaticKeys diversified(const StaticKeys& master, Diversification how, const ByteVector& data)
{
    if (how == Diversification::None)
        return master;
    if (data.size() != 10)
        throw std::invalid_argument("diversification data has 10 bytes");
    if (how == Diversification::Kdf3)
        return {diversifiedAes(master.enc, 1, data), diversifiedAes(master.mac, 2, data),
                diversifiedAes(master.dek, 3, data)};
    const ByteVector part =
        how == Diversification::Emv ? slice(data, 4, 6) : joined({slice(data, 0, 2), slice(data, 4, 4)});
    return {diversifiedDes(master.enc, part, 1), diversifiedDes(master.mac, part, 2),
            diversifiedDes(master.dek, part, 3)};
}

ByteVector initializeUpdate(unsigned keyVersion, const ByteVector& hostChallenge)
{
    ByteVector command{0x80, 0x50, static_cast<std::uint8_t>(keyVersion), 0x00, 0x08};
    command.insert(command.end(), hostChallenge.begin(), hostChallenge.end());
    command.push_back(0x00);
    return command;
}

std::optional<CardResponse> readInitializeUpdate(const ByteVector& data, std::string* problem)
{
    const auto refuse = [&](const std::string& text) -> std::optional<CardResponse> {
        if (problem != nullptr)
            *problem = text;
        return std::nullopt;
    };
    if (data.size() < 12)
        return refuse("the card's answer to INITIALIZE UPDATE has " + std::to_string(data.size()) +
                      " bytes, too few for any secure channel");
    CardResponse card;
    card.diversificationData = slice(data, 0, 10);
    card.keyVersion = data[10];
    if (data[11] == 0x02) {
        if (data.size() != 28)
            return refuse("an SCP02 answer to INITIALIZE UPDATE has 28 bytes, this one " + std::to_string(data.size()));
        card.protocol = Protocol::Scp02;
        card.sequenceCounter = slice(data, 12, 2);
        card.cardChallenge = slice(data, 14, 6);
        card.cardCryptogram = slice(data, 20, 8);
        return card;
    }
    if (data[11] == 0x03) {
        if (data.size() != 29 && data.size() != 32)
            return refuse("an SCP03 answer to INITIALIZE UPDATE has 29 or 32 bytes, this one " +
                          std::to_string(data.size()));
        card.protocol = Protocol::Scp03;
        card.i = data[12];
        card.cardChallenge = slice(data, 13, 8);
        card.cardCryptogram = slice(data, 21, 8);
        if (data.size() == 32)
            card.sequenceCounter = slice(data, 29, 3);
        return card;
    }
    return refuse("the card speaks secure channel protocol " + std::to_string(data[11]) +
                  ", which this tool does not (it speaks SCP02 and SCP03)");
}

std::unique_ptr<SecureChannel> SecureChannel::make(const StaticKeys& keys, const CardResponse& card,
                                                   const ByteVector& hostChallenge, std::string* problem)
{
    const auto refuse = [&](const std::string& text) {
        if (problem != nullptr)
            *problem = text;
        return std::unique_ptr<SecureChannel>();
    };
    for (const ByteVector* key : {&keys.enc, &keys.mac, &keys.dek}) {
        const std::size_t n = key->size();
        if (card.protocol == Protocol::Scp02 && n != 16)
            return refuse("SCP02 takes keys of 16 bytes, and a key has " + std::to_string(n));
        if (card.protocol == Protocol::Scp03 && n != 16 && n != 24 && n != 32)
            return refuse("SCP03 takes keys of 16, 24 or 32 bytes, and a key has " + std::to_string(n));
    }
    if (card.protocol == Protocol::Scp02)
        return std::unique_ptr<SecureChannel>(new Scp02(keys, card, hostChallenge));
    return std::unique_ptr<SecureChannel>(new Scp03(keys, card, hostChallenge));
}

ApduParts partsOf(const ByteVector& apdu)
{
    if (apdu.size() < 4)
        throw std::invalid_argument("a command APDU has at least 4 bytes");
    ApduParts parts{apdu[0], apdu[1], apdu[2], apdu[3], {}, std::nullopt};
    if (apdu.size() == 5) {
        parts.le = apdu[4];
    } else if (apdu.size() > 5) {
        const std::size_t lc = apdu[4];
        if (apdu.size() != 5 + lc && apdu.size() != 6 + lc)
            throw std::invalid_argument("a command APDU whose Lc does not fit its length");
        parts.data = slice(apdu, 5, lc);
        if (apdu.size() == 6 + lc)
            parts.le = apdu.back();
    }
    return parts;
}

} // namespace tolvane::gp
