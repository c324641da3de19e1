#pragma once

// The simulated card as the card modes reach a card: commands go straight
// to it, in this process, as they would go through a reader.

#include "core/card/session.h"
#include "core/runtime/card/simulated_card.h"

#include <string>

namespace tolvane::runtime {

class SimulatedTransport : public card::Transport {
public:
    explicit SimulatedTransport(SimulatedCard& card, std::string name = "Simulated card")
        : card_(card), name_(std::move(name))
    {
    }
    card::ByteVector transmit(const card::ByteVector& command) override { return card_.transmit(command).bytes(); }
    card::ByteVector atr() const override { return card_.atr(); }
    std::string reader() const override { return name_; }

private:
    SimulatedCard& card_;
    std::string name_;
};

} // namespace tolvane::runtime
