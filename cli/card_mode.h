#pragma once

// The modes of tolvane-cli that talk to a card through the PC/SC service:
// --readers, --list, --info, --delete and --send.

#include "core/apdu/script.h"
#include "core/cap/load_file.h"
#include "core/card/session.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::cli {

enum class CardMode { Readers, List, Info, Delete, Send };

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
    std::vector<std::string> arguments; // --delete: AIDs; --send: files
};

// Reads a key file: one "enc=", "mac=", "dek=" or "key=" line each, hex,
// '#' comments and blank lines allowed. A text saying what is wrong (never
// a key's value), or nothing.
std::optional<std::string> readKeyFile(const std::string& path, card::ChannelOptions& channel);

// Runs the request; the exit status (0, 1, or 2 for what the card makes a
// usage error, such as a block size it cannot take).
int runCardMode(const CardRequest& request);

} // namespace tolvane::cli
