// What a card says, as input: each answer read by every reader of card data
// (BER-TLV, GET STATUS in both forms, INITIALIZE UPDATE, the FCI, CPLC, card
// recognition data, key information), and the answers played as a card to a
// session that lists the card, reads its data or opens a secure channel.
//
// Input: one byte of flags, then answers, each a 2-byte big-endian length and
// its bytes. Flags: bits 0-1 choose the operation; bit 2 makes the card
// repeat its last answer forever, as a card that never stops offering more.

#include "core/base/error.h"
#include "core/card/operations.h"
#include "core/card/session.h"
#include "core/gp/card_data.h"
#include "core/gp/secure_channel.h"
#include "fuzz_support.h"

#include <deque>

namespace {

using tolvane::card::ByteVector;

// A session's commands never outnumber what the bounds on a card's answers
// allow: one operation's GET STATUS parts and GET RESPONSE rounds.
constexpr std::size_t mostCommands = 4000;

class PlayedCard final : public tolvane::card::Transport {
public:
    PlayedCard(std::deque<ByteVector> answers, bool endless) : answers_(std::move(answers)), endless_(endless) {}
    ByteVector transmit(const ByteVector& command) override
    {
        tolvane::fuzz::require(command.size() >= 4 && command.size() <= 261, "a command APDU is well formed");
        tolvane::fuzz::require(++sent <= mostCommands, "a session ends however the card answers");
        if (answers_.size() > 1 || (!answers_.empty() && !endless_)) {
            last_ = answers_.front();
            answers_.pop_front();
        } else if (!answers_.empty()) {
            last_ = answers_.front();
        } else {
            throw tolvane::Error(tolvane::ErrorKind::Card, "fuzz", "the card was taken out of fuzz");
        }
        return last_;
    }
    ByteVector atr() const override { return {0x3B, 0x00}; }
    std::string reader() const override { return "fuzz"; }
    std::size_t sent = 0;

private:
    std::deque<ByteVector> answers_;
    ByteVector last_;
    bool endless_;
};

void readEveryWay(const ByteVector& answer)
{
    if (const auto tlvs = tolvane::gp::readTlvs(answer)) {
        std::size_t values = 0;
        for (const auto& tlv : *tlvs)
            values += tlv.value.size();
        tolvane::fuzz::require(values <= answer.size(), "TLV values lie within their bytes");
    }
    for (const std::uint8_t p1 : {0x80, 0x40, 0x20, 0x10})
        for (const bool tlvForm : {true, false})
            if (const auto entries = tolvane::gp::readRegistry(answer, p1, tlvForm))
                for (const auto& entry : *entries)
                    tolvane::fuzz::require(entry.aid.size() <= answer.size(), "an AID lies within its answer");
    std::string problem;
    if (const auto card = tolvane::gp::readInitializeUpdate(answer, &problem))
        tolvane::fuzz::require(card->diversificationData.size() == 10 && card->cardCryptogram.size() == 8,
                               "an INITIALIZE UPDATE answer read has its fields");
    (void)tolvane::gp::readLargestCommandData(answer);
    (void)tolvane::gp::readCardRecognition(answer);
    (void)tolvane::gp::readCplc(answer);
    (void)tolvane::gp::readKeyInformation(answer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    std::deque<ByteVector> answers;
    for (std::size_t at = 1; at + 2 <= size;) {
        const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
        at += 2;
        const std::size_t taken = std::min(length, size - at);
        answers.emplace_back(data + at, data + at + taken);
        at += taken;
    }
    for (const auto& answer : answers)
        readEveryWay(answer);

    PlayedCard card(answers, (flags & 0x04) != 0);
    card::Session session(card);
    try {
        session.selectSecurityDomain({0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00});
        switch (flags & 0x03) {
        case 0:
            (void)card::listContents(session);
            break;
        case 1:
            (void)card::readInfo(session);
            break;
        case 2: {
            card::ChannelOptions options;
            const auto key = gp::defaultTestKey();
            options.keys = {key, key, key};
            session.openSecureChannel(options);
            fuzz::require(false, "no card answer proves it holds the keys to a random challenge");
            break;
        }
        default:
            (void)card::largestBlock(session);
            break;
        }
    } catch (const Error&) {
        // A refusal, or an answer that cannot be read: said, not a fault.
    }
    // Nothing after INITIALIZE UPDATE unless the card proved its keys.
    for (const auto& exchange : session.exchanges())
        fuzz::require(exchange.kind != "EXTERNAL AUTHENTICATE", "no EXTERNAL AUTHENTICATE without the card's proof");
    return 0;
}
