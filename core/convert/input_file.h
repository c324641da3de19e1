#pragma once

#include "core/base/whole_file.h"
#include "core/cap/load_file.h"

#include <string>
#include <vector>

namespace tolvane {

class ZipArchive;

// A file given to a conversion, read once: its bytes, and what they are,
// told by those bytes rather than by the file's name. Whatever converts,
// checks, scripts or shows the file takes these bytes, so that all of them
// see the same file and none opens it again.
struct InputFile {
    std::string path;
    FileBytes bytes;
    bool components = false; // a sequence of components (an IJC file or load file), not a CAP file
};

// Opens the file at `path` once and reads it whole. Throws Error: NoCapFile
// for no path; CannotOpen for one that cannot be opened or read, naming a
// folder as one ("Is a directory") and anything else that is no regular file.
InputFile readInput(const std::string& path);

// The entries of the input: a CAP file's, through the archive rules, or the
// components of an IJC file or load file. Throws Error as those rules do.
std::vector<CapEntry> entriesOf(const InputFile& input, ZipArchive& archive);

} // namespace tolvane
