#pragma once

// The modes of tolvane-cli that talk to a card through the PC/SC service:
// --readers, --list, --info, --delete and --send, and those that run the
// card: keys, life cycles, installation, security domains, personalisation.

#include "core/apdu/script.h"
#include "core/cap/load_file.h"
#include "core/card/management.h"
#include "core/card/session.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::cli {

enum class CardMode {
    Readers,
    List,
    Info,
    Delete,
    Send,
    PutKeys,
    LockApp,
    UnlockApp,
    CardState,
    MakeDefault,
    Install,
    CreateSd,
    Move,
    StoreData
};

// --put-keys: the new key set, and where it is saved first.
struct NewKeys {
    gp::StaticKeys keys; // empty with random: made once the channel is open
    bool random = false;
    gp::Diversification diversification = gp::Diversification::None; // the keys are master keys
    std::optional<unsigned> version;                                 // none: the session's key set
    std::string saveTo;
};

struct CardRequest {
    CardMode mode = CardMode::List;
    std::string reader;
    bool trace = false;
    bool json = false;
    bool quiet = false;
    bool force = false;
    bool defaultKey = true; // no key given: the default test key
    card::ChannelOptions channel;
    apdu::Options script;     // --send: what --apdu's options say
    LoadFileOptions loadFile; // --send: the checks
    bool blockSizeGiven = false;
    std::vector<std::string> arguments; // --delete and others: AIDs; --send: files
    NewKeys newKeys;
    card::CardStateName cardState{};
    card::ByteVector moveTo;
};

// Reads a key file: one "enc=", "mac=", "dek=" or "key=" line each, hex,
// '#' comments and blank lines allowed. A text saying what is wrong (never
// a key's value), or nothing.
std::optional<std::string> readKeyFile(const std::string& path, card::ChannelOptions& channel);

// Runs the request; the exit status (0, 1, or 2 for what the card makes a
// usage error, such as a block size it cannot take).
int runCardMode(const CardRequest& request);

} // namespace tolvane::cli
