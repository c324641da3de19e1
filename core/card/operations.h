#pragma once

// What tolvane does with a card, over a session whose secure channel is
// open: list what it holds, delete, check a load file against it and load
// and install it.

#include "core/apdu/script.h"
#include "core/cap/load_file.h"
#include "core/card/session.h"
#include "core/gp/card_data.h"

#include <functional>
#include <optional>
#include <vector>

namespace tolvane::card {

struct CardContents {
    std::optional<gp::RegistryEntry> isd;
    std::vector<gp::RegistryEntry> applications; // security domains among them
    std::vector<gp::RegistryEntry> loadFiles;
};

// GET STATUS of the issuer security domain, the applications and the load
// files (with their modules where the card gives them): the TLV form, or
// the older one where the card refuses it, following 63 10.
CardContents listContents(Session& session);

// The applications that `card` lists as depending on `aid`: those whose
// load file it is, or whose AID is one of its modules.
std::vector<ByteVector> dependentsOf(const CardContents& card, const ByteVector& aid);

// Refuses, before anything is sent, a load file that imports a package the
// card lists with an older version, naming it and both versions.
void checkBeforeLoad(const LoadFile& file, const CardContents& card);

// DELETE of each AID; with `force`, what depends on it too. Where the card
// says something depends on it, the refusal names what the card then lists
// as depending on it and says --force deletes it too.
void deleteObjects(Session& session, const std::vector<ByteVector>& aids, bool force);

struct LoadProgress {
    std::function<void(std::size_t block, std::size_t blocks)> block; // before each LOAD block
    std::function<bool()> cancelled;                                  // asked between blocks
};

// Sends the script's commands in order; a refusal names the command (the
// LOAD block by number) and stops. A cancel between blocks stops the load,
// and the card discards what it has of it.
void sendScript(Session& session, const apdu::Script& script, const LoadProgress& progress = {});

// The largest LOAD block that fits a command of the channel, where the card
// says how much command data it takes.
unsigned largestBlock(const Session& session);

// What --info shows of the card, each read in the clear.
struct CardInfo {
    ByteVector atr;
    std::optional<gp::CardRecognition> recognition;
    std::vector<std::pair<std::string, std::string>> cplc;
    std::vector<gp::KeyInfo> keys;
    bool keysListed = false; // the card gave its key information, even an empty one
};
CardInfo readInfo(Session& session);

// The name of a script's command kind as messages give it.
std::string commandName(const std::string& kind);

} // namespace tolvane::card
