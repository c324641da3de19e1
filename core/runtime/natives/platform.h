#pragma once

// What the GlobalPlatform API asks of the card it runs on: the registry and
// its life cycles, the secure channel session of a logical channel, the
// global PIN. The card manager serves it; the API's natives reach it
// through Vm::platform.

#include "core/gp/card_channel.h"
#include "core/runtime/vm/outcome.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tolvane::runtime {

// The card's global PIN, which CVM objects share.
struct GlobalPin {
    std::vector<std::uint8_t> value; // none until it is set
    std::uint8_t format = 0;
    std::uint8_t limit = 3, tries = 3;
    bool blocked = false;
    bool verified = false, submitted = false; // the session's, not kept across a reset
};

class Platform {
public:
    virtual ~Platform() = default;

    virtual std::uint8_t cardState() const = 0;
    virtual void setCardState(std::uint8_t state) = 0;

    // What the registry holds of an application or security domain.
    struct Entry {
        std::uint8_t state = 0;
        std::vector<std::uint8_t> privileges; // 3 bytes
        std::vector<std::uint8_t> domain;     // its security domain
        bool isDomain = false;
    };
    virtual std::optional<Entry> entry(const std::vector<std::uint8_t>& aid) const = 0;
    virtual void setState(const std::vector<std::uint8_t>& aid, std::uint8_t state) = 0;

    // The secure channel session of `channel`, if one was opened with
    // security domain `domain`: a session belongs to its domain, and an
    // applet reaches only its own domain's.
    virtual gp::CardChannel* session(unsigned channel, const std::vector<std::uint8_t>& domain) = 0;
    virtual void endSession(unsigned channel, const std::vector<std::uint8_t>& domain) = 0;
    // INITIALIZE UPDATE or EXTERNAL AUTHENTICATE for security domain
    // `domain`, which an applet received and hands on: the answer.
    virtual Response securityCommand(const std::vector<std::uint8_t>& domain, std::span<const std::uint8_t> command,
                                     unsigned channel) = 0;

    virtual GlobalPin& globalPin() = 0;
    virtual void setHistoricalBytes(const std::vector<std::uint8_t>& bytes) = 0;
};

} // namespace tolvane::runtime
