#pragma once

// A session with a card's security domain over any transport: the commands
// as sent and as meant, GET RESPONSE under T=0, the secure channel opened
// so that a wrong key never costs one of the card's tries, and every
// command wrapped inside it.

#include "core/base/error.h"
#include "core/gp/secure_channel.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::card {

using gp::ByteVector;

// How commands reach a card: the PC/SC service, or a test's double.
class Transport {
public:
    virtual ~Transport() = default;
    // The card's whole response, data and status word. Throws Error (Card)
    // where the command cannot reach the card (it was pulled out, ...).
    virtual ByteVector transmit(const ByteVector& command) = 0;
    virtual ByteVector atr() const = 0;
    virtual std::string reader() const = 0;
};

struct Response {
    ByteVector data;
    std::uint16_t sw = 0;
    bool ok() const { return sw == 0x9000; }
};

// One exchange as --trace shows it: the command as sent (wrapped) and as
// meant (plain), and the answer.
struct Exchange {
    std::string kind; // "SELECT", "INITIALIZE UPDATE", "LOAD", ...
    ByteVector sent, plain;
    Response response;
};

// The keys and the channel asked for.
struct ChannelOptions {
    gp::StaticKeys keys;
    unsigned keyVersion = 0; // 0: the card's default key set
    gp::Diversification diversification = gp::Diversification::None;
    std::optional<gp::Protocol> protocol; // insist on one
    gp::SecurityLevel level = gp::SecurityLevel::Mac;
};

class Session {
public:
    // `observe` hears every exchange, as it happens.
    explicit Session(Transport& transport, std::function<void(const Exchange&)> observe = {});

    // Sends `command`, wrapped inside the secure channel once it is open,
    // fetching what T=0 leaves behind; throws Error (Card) only where the
    // transport fails: the status word is the caller's to judge.
    Response send(const ByteVector& command, const std::string& kind);

    // The same, refusing any status word but 90 00 with the command's name,
    // the status word and its meaning, and `hint` where given.
    Response require(const ByteVector& command, const std::string& kind, const std::string& hint = {});

    // SELECT of the security domain; keeps what its FCI says of the largest
    // command the card takes. A locked card answers 62 83, and is still
    // talked to: its security domain is the one that can unlock it.
    void selectSecurityDomain(const ByteVector& aid);
    bool cardLocked() const { return cardLocked_; }

    // INITIALIZE UPDATE, the card's cryptogram checked, then EXTERNAL
    // AUTHENTICATE. Where the card's cryptogram does not match, nothing more
    // is sent and Error (Card) says the keys do not match.
    void openSecureChannel(const ChannelOptions& options);

    const gp::SecureChannel* channel() const { return channel_.get(); }
    std::optional<std::size_t> largestCommandData() const { return largestData_; }
    Transport& transport() { return transport_; }
    const std::vector<Exchange>& exchanges() const { return exchanges_; }

    // Bounds on what a card may leave to fetch with GET RESPONSE: far past
    // any real card's answer, so that a card that never stops offering more
    // ends in an error instead of an endless loop.
    static constexpr std::size_t largestAnswer = 64 * 1024;
    static constexpr unsigned mostFetches = 300;

private:
    enum class Resend { WithLe, Never };
    Response exchange(const ByteVector& sent, const ByteVector& plain, const std::string& kind, Resend resend);
    void record(Exchange exchange);

    Transport& transport_;
    std::function<void(const Exchange&)> observe_;
    std::unique_ptr<gp::SecureChannel> channel_;
    std::optional<std::size_t> largestData_;
    bool cardLocked_ = false;
    std::vector<Exchange> exchanges_;
};

// "69 85"
std::string swText(std::uint16_t sw);

// "the card refused KIND: 6A 88 (referenced data not found); HINT"
Error refusal(const std::string& reader, const std::string& kind, std::uint16_t sw, const std::string& hint = {});

} // namespace tolvane::card
