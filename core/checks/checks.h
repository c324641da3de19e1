#pragma once

// The checks of a load file as a whole: its framing and structure, as the
// package model lays it out, then every reference to an imported package
// against that package's export file, then the types of its bytecode. Each
// goes on past what it refuses wherever what follows can still be read, so
// that a developer hears every fault at once.

#include "core/cap/load_file.h"

#include <string>
#include <vector>

namespace tolvane {

// Lays out the entries' load file and checks it. What a card would refuse is
// in the load file's `refusals`, and where it lies in `findings`; throws
// Error (NotLoadable) only where the entries cannot be read as a load file.
LoadFile checkLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options,
                       const std::string& capPath);

// Throws the error of the load file's refusals (the first, the others
// following it), where there is any.
void throwIfRefused(const LoadFile& loadFile, const std::string& capPath);

// The load file of a package that a card would take: checkLoadFile, then
// throwIfRefused.
LoadFile makeLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options, const std::string& capPath);

} // namespace tolvane
