#pragma once

// A CAP file made again from an IJC file or a load file.

#include "core/cap/load_file.h"

#include <string>
#include <vector>

namespace tolvane {

struct CapFileLayout {
    std::string packagePath; // "com/acme/wallet": where the components go, under javacard/
    bool pathFromAid = false; // no package name to take it from: aid/AID/
};

// Where the components of `file` go: the Header's package name, or `given`
// (as --package names it), or a path made from the package AID.
CapFileLayout capFileLayout(const LoadFile& file, const std::string& given);

// The CAP file's bytes: a ZIP archive, every entry deflated, holding
// META-INF/MANIFEST.MF with the Java Card attributes the components give,
// then each of `entries` (in their order) as PATH/javacard/NAME. Throws
// Error (CannotCreate) naming `capPath`, the file the bytes are for, where
// the archive cannot be made.
std::vector<std::uint8_t> capFileBytes(const LoadFile& file, const std::vector<CapEntry>& entries,
                                       const CapFileLayout& layout, const std::string& capPath);

} // namespace tolvane
