#pragma once

// --simulate: load files linked on a simulated card, their applets
// installed, then a script's commands answered (or a card served to pcscd
// through vpcd), with a diagnostic for each command an exception ended.

#include "core/cap/load_file.h"
#include "core/runtime/card/simulated_card.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::cli {

struct SimulateRequest {
    std::vector<std::string> files; // CAP files, IJC files or load files, in load order
    LoadFileOptions loadFile;
    std::optional<std::vector<std::uint8_t>> instance;
    std::vector<std::uint8_t> privileges, parameters;
    std::string script;   // the commands' file; empty: standard input
    std::string vpcdHost; // with vpcdPort: serve the card to vpcd instead of running a script
    unsigned vpcdPort = 0;
    bool json = false, quiet = false;
    runtime::CardSettings settings;
    runtime::CardKeys keys; // the card's first key set: --card-scp, --card-keys
    std::string cardFile;   // --card-file: where the card is kept
    std::string profile;    // --profile: where the run's folded stacks go
    std::string coverage;   // --coverage: where what the run reached goes
    bool dap = false;       // --dap: a debug adapter, on stdin and stdout or dapPort
    unsigned dapPort = 0;
};

// Exit status: 0 when the script ran (whatever the applets answered), 1
// when a load or an install failed, 2 when the script cannot be read.
int runSimulation(const SimulateRequest& request);

} // namespace tolvane::cli
