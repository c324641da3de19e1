#include "core/card/session.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/gp/card_data.h"

#include <openssl/rand.h>

namespace tolvane::card {
namespace {

Response split(const ByteVector& raw, const std::string& reader)
{
    Response response;
    if (raw.size() < 2)
        throw Error(ErrorKind::Card, reader,
                    "the card gave no status word (" + std::to_string(raw.size()) +
                        (raw.size() == 1 ? " byte" : " bytes") + "): was it taken out of " + reader + "?");
    response.data.assign(raw.begin(), raw.end() - 2);
    response.sw = static_cast<std::uint16_t>(raw[raw.size() - 2] << 8 | raw.back());
    return response;
}

// 8 bytes from the system's random source.
ByteVector hostChallenge()
{
    ByteVector challenge(8);
    if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1)
        throw Error(ErrorKind::Card, "", "no random host challenge could be made");
    return challenge;
}

} // namespace

std::string swText(std::uint16_t sw)
{
    std::string text;
    appendHex(text, static_cast<std::uint8_t>(sw >> 8), HexCase::Upper);
    text += ' ';
    appendHex(text, static_cast<std::uint8_t>(sw), HexCase::Upper);
    return text;
}

Session::Session(Transport& transport, std::function<void(const Exchange&)> observe)
    : transport_(transport), observe_(std::move(observe))
{
}

Response Session::exchange(const ByteVector& sent, const ByteVector& plain, const std::string& kind, Resend resend)
{
    const std::string reader = transport_.reader();
    ByteVector command = sent;
    Response response = split(transport_.transmit(command), reader);
    // T=0 leaves the answer with the card: 6C gives the right Le to ask
    // again with, 61 the bytes still to fetch with GET RESPONSE. Neither is
    // a second try of the command: the card has not acted on it yet (6C),
    // or has acted once and holds the answer (61). A 6C to a command that
    // has no Le is no such request, and sending that command again could
    // be a second try of it: it is never sent twice.
    if ((response.sw & 0xFF00) == 0x6C00) {
        if (resend == Resend::Never || !gp::partsOf(command).le) {
            record({kind, command, plain, response});
            throw Error(ErrorKind::Card, reader,
                        "the card answered " + kind + " with " + swText(response.sw) + " (" +
                            gp::statusMeaning(response.sw) + "), which " + kind +
                            " cannot be sent again with; nothing was sent again");
        }
        command.back() = static_cast<std::uint8_t>(response.sw);
        response = split(transport_.transmit(command), reader);
    }
    ByteVector data = response.data;
    for (unsigned fetches = 0; (response.sw & 0xFF00) == 0x6100; ++fetches) {
        if (fetches == mostFetches || data.size() > largestAnswer)
            throw Error(ErrorKind::Card, reader,
                        "the card's answer to " + kind + " does not end: after " + std::to_string(fetches) +
                            " GET RESPONSE commands and " + std::to_string(data.size()) +
                            " bytes it still has more, more than any card's answer; it was read no further");
        response = split(transport_.transmit({0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(response.sw)}), reader);
        data.insert(data.end(), response.data.begin(), response.data.end());
    }
    response.data = std::move(data);
    record({kind, command, plain, response});
    return response;
}

void Session::record(Exchange exchange)
{
    if (observe_)
        observe_(exchange);
    exchanges_.push_back(std::move(exchange));
}

Response Session::send(const ByteVector& command, const std::string& kind)
{
    if (!channel_)
        return exchange(command, command, kind, Resend::WithLe);
    return exchange(channel_->wrap(command), command, kind, Resend::WithLe);
}

Error refusal(const std::string& reader, const std::string& kind, std::uint16_t sw, const std::string& hint)
{
    const std::string meaning = gp::statusMeaning(sw);
    return Error(ErrorKind::Card, reader,
                 "the card refused " + kind + ": " + swText(sw) +
                     (meaning.empty() ? std::string() : " (" + meaning + ")") + (hint.empty() ? "" : "; " + hint));
}

Response Session::require(const ByteVector& command, const std::string& kind, const std::string& hint)
{
    const Response response = send(command, kind);
    if (!response.ok())
        throw refusal(transport_.reader(), kind, response.sw, hint);
    return response;
}

void Session::selectSecurityDomain(const ByteVector& aid)
{
    const ByteVector command =
        gp::joined({{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(aid.size())}, aid, {0x00}});
    const std::string hint = "is " + hexText(aid, HexCase::Upper) + " the card's security domain? (--sd)";
    const Response response = send(command, "SELECT");
    cardLocked_ = response.sw == 0x6283;
    if (!cardLocked_ && !response.ok())
        throw refusal(transport_.reader(), "SELECT", response.sw, hint);
    largestData_ = gp::readLargestCommandData(response.data);
}

void Session::openSecureChannel(const ChannelOptions& options)
{
    const ByteVector challenge = hostChallenge();
    const Response answer = send(gp::initializeUpdate(options.keyVersion, challenge), "INITIALIZE UPDATE");
    const std::string reader = transport_.reader();
    if (answer.sw == 0x6982 || answer.sw == 0x6983)
        throw Error(ErrorKind::Card, reader,
                    "the card refused INITIALIZE UPDATE: " + swText(answer.sw) + " (" + gp::statusMeaning(answer.sw) +
                        "); the key set may be locked");
    if (answer.sw == 0x6A88)
        throw Error(ErrorKind::Card, reader,
                    "the card has no key set of key version " + byteHex(static_cast<std::uint8_t>(options.keyVersion)) +
                        " (INITIALIZE UPDATE: 6A 88); nothing more was sent, and the card's retry counter was not "
                        "touched");
    if (!answer.ok())
        throw Error(ErrorKind::Card, reader,
                    "the card refused INITIALIZE UPDATE: " + swText(answer.sw) + " (" + gp::statusMeaning(answer.sw) +
                        ")");
    std::string problem;
    const auto card = gp::readInitializeUpdate(answer.data, &problem);
    if (!card)
        throw Error(ErrorKind::Card, reader, problem + "; nothing more was sent");
    if (options.protocol && *options.protocol != card->protocol)
        throw Error(ErrorKind::Card, reader,
                    std::string("the card opens SCP0") + std::to_string(static_cast<int>(card->protocol)) +
                        ", not the SCP0" + std::to_string(static_cast<int>(*options.protocol)) +
                        " that --scp asks for; nothing more was sent");
    const gp::StaticKeys keys = gp::diversified(options.keys, options.diversification, card->diversificationData);
    channel_ = gp::SecureChannel::make(keys, *card, challenge, &problem);
    if (!channel_)
        throw Error(ErrorKind::Card, reader, problem + "; nothing more was sent");
    if (!channel_->cardCryptogramMatches()) {
        channel_.reset();
        throw Error(ErrorKind::Card, reader,
                    "the card's cryptogram does not match: the keys, the diversification or the key version do not "
                    "match the card's. Nothing more was sent: the card's retry counter was not touched");
    }
    const ByteVector authenticate = channel_->externalAuthenticate(options.level);
    // Only EXTERNAL AUTHENTICATE counts failed tries: whatever the card
    // answers, it is sent once.
    const Response done = exchange(authenticate, authenticate, "EXTERNAL AUTHENTICATE", Resend::Never);
    if (!done.ok()) {
        channel_.reset();
        throw Error(ErrorKind::Card, reader,
                    "the card refused EXTERNAL AUTHENTICATE: " + swText(done.sw) + " (" + gp::statusMeaning(done.sw) +
                        ")");
    }
}

} // namespace tolvane::card
