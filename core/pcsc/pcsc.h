#pragma once

// The PC/SC service (pcsc-lite's pcscd) and its readers: the only code of
// the program that speaks to it.

#include "core/card/session.h"

#include <functional>
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

// Readers and cards coming and going, as the service's status change
// notifications tell them: no polling.
class ReaderWatch {
public:
    ReaderWatch();
    ~ReaderWatch();
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    // The readers now, once something has changed since the last call (at
    // once on the first). Empty, without waiting, after cancel(). Throws
    // Error (Card) where no service runs.
    std::vector<Reader> waitForChange();
    // Ends a wait from another thread; every later wait returns at once.
    void cancel();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A connection to the card in `reader`, T=0 or T=1, held exclusively until
// it is destroyed (the card is then reset). Where another program holds the
// card, waits a few seconds for it, telling `waiting` once, before Error
// (Card) says that another program is using the card.
std::unique_ptr<card::Transport> connect(const std::string& reader,
                                         const std::function<void(const std::string&)>& waiting = {});

} // namespace tolvane::pcsc
