#pragma once

// What the archive reader checks of a ZIP file's layout itself, before the
// ZIP library reads any entry: where its end-of-central-directory record lies,
// and whether any two entries share bytes. These checks may refuse an
// archive; they never choose which bytes an entry is given.

#include "core/base/bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::zip {

// The offset of the end-of-central-directory record: the last one that lies
// in the final 22 bytes of the file or before a comment of up to 65,535 bytes.
std::optional<std::uint64_t> findEndOfCentralDirectory(Bytes file);

// Where an entry of the central directory says its bytes lie.
struct CentralEntry {
    std::string name;
    std::uint64_t localOffset = 0;
    std::uint64_t compressedSize = 0;
};

// The records of the central directory, in their order. A directory that
// cannot be read here gives nothing: the ZIP library then judges it.
std::optional<std::vector<CentralEntry>> readCentralDirectory(Bytes file);

// The names of two entries whose bytes overlap in the file, if any do. Entries
// that share bytes are how an archive of a few kilobytes declares gigabytes;
// no honest archive has them. Each entry covers at least its local header, its
// name and its compressed data.
std::optional<std::pair<std::string, std::string>> findOverlap(const std::vector<CentralEntry>& entries);

} // namespace tolvane::zip
