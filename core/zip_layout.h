#pragma once

// What the archive reader checks of a ZIP file's layout itself, before the
// ZIP library reads any entry: where its end-of-central-directory record lies,
// and whether any two entries share bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace tolvane::zip_layout {

// The offset of the end-of-central-directory record: the last one that lies
// in the final 22 bytes of the file or before a comment of up to 65,535 bytes.
std::optional<std::uint64_t> findEndOfCentralDirectory(int fd, std::uint64_t fileSize);

// The names of two entries whose bytes overlap in the file, if any do. Entries
// that share bytes are how an archive of a few kilobytes declares gigabytes;
// no honest archive has them. Each entry covers at least its local header, its
// name and its compressed data. A central directory that cannot be read here
// is left to the ZIP library to judge, and gives nothing.
std::optional<std::pair<std::string, std::string>> findOverlap(int fd, std::uint64_t fileSize);

} // namespace tolvane::zip_layout
