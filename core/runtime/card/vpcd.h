#pragma once

// The card side of the virtual smart card reader driver's socket (vpcd, of
// the vsmartcard project, which pcscd loads): the driver listens, the card
// connects, and each message is a two-byte length and its bytes. One byte is
// a control (0 power off, 1 power on, 2 reset, 4 the ATR asked for); more
// bytes are a command APDU, answered with the response APDU.

#include "core/runtime/card/simulated_card.h"

#include <atomic>
#include <functional>
#include <string>

namespace tolvane::runtime {

// What the serving loop tells: each command with its answer, and its state.
struct VpcdObserver {
    std::function<void(const std::vector<std::uint8_t>& command, const Response& response)> exchanged;
    std::function<void(const std::string& event)> event; // "connected to ...", "reset", ...
};

// Serves `card` to the driver at `host`:`port` until `stop` is set (a signal
// handler sets it; a blocked read then returns). Connects again whenever the
// driver goes away, as it does when pcscd restarts. Throws Error (Card)
// where `host` cannot be resolved.
void serveVpcd(SimulatedCard& card, const std::string& host, unsigned port, const std::atomic<bool>& stop,
               const VpcdObserver& observer);

} // namespace tolvane::runtime
