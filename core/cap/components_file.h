#pragma once

// IJC files and load files as input: a file that is a sequence of components
// (tag, size, content), the first a Header with the magic DECAFFED.

#include "core/base/bytes.h"
#include "core/cap/load_file.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane {

// Whether `file` begins as a sequence of components does: a Header's tag,
// its size, and the magic DECAFFED. A ZIP archive never does.
bool looksLikeComponents(Bytes file);

// How the component at `at` is framed: its tag, the bytes of its tag and
// size (3, or 5 for StaticResources) and the size they declare; nothing
// where they run past the end of `file`.
struct ComponentFrame {
    std::uint8_t tag = 0;
    std::size_t framing = 3;
    std::size_t size = 0;
};
std::optional<ComponentFrame> componentFrameAt(Bytes file, std::size_t at);

// The name a component is given when read from a sequence of components:
// its entry name (Header.cap, ...), or Custom-TAG.cap for a custom tag.
std::string componentFileName(std::uint8_t tag);

// The components of `file` as entries named after their kind (Header.cap,
// ..., Custom-128.cap for a custom tag), each with the offset where it
// begins. Throws Error (NotLoadable) naming `path` and the offset where the
// file is no sequence of components: a component that runs past the end, one
// that comes twice, a tag no component has, no Header first, a Header
// without DECAFFED.
std::vector<CapEntry> componentsOf(Bytes file, const std::string& path);

} // namespace tolvane
