#pragma once

// The PC/SC service (pcsc-lite's pcscd) and its readers: the only code of
// the program that speaks to it.

#include "core/card/session.h"

#include <memory>
#include <string>
#include <vector>

namespace tolvane::pcsc {

struct Reader {
    std::string name;
    bool cardPresent = false;
};

// The readers the service knows. Throws Error (Card) where no service runs.
std::vector<Reader> listReaders();

// The reader to use: `wanted` where given (it must be known), else the one
// reader holding a card. Throws Error (Card) naming the readers where none
// or several would do.
std::string chooseReader(const std::vector<Reader>& readers, const std::string& wanted);

// A connection to the card in `reader`, T=0 or T=1, held exclusively until
// it is destroyed (the card is then reset).
std::unique_ptr<card::Transport> connect(const std::string& reader);

} // namespace tolvane::pcsc
