#pragma once

// IJC files and load files as input: a file that is a sequence of components
// (tag, size, content), the first a Header with the magic DECAFFED.

#include "core/base/bytes.h"
#include "core/cap/load_file.h"

#include <string>
#include <vector>

namespace tolvane {

// Whether `file` begins as a sequence of components does: a Header's tag,
// its size, and the magic DECAFFED. A ZIP archive never does.
bool looksLikeComponents(Bytes file);

// The components of `file` as entries named after their kind (Header.cap,
// ..., Custom-128.cap for a custom tag), each with the offset where it
// begins. Throws Error (NotLoadable) naming `path` and the offset where the
// file is no sequence of components: a component that runs past the end, one
// that comes twice, a tag no component has, no Header first, a Header
// without DECAFFED.
std::vector<CapEntry> componentsOf(Bytes file, const std::string& path);

} // namespace tolvane
