#pragma once

// The card file: a simulated card's whole state in one file, replaced whole
// and atomically, so that a card killed at any moment starts again from its
// last complete command. The layout is in docs/card-file.md.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvane::runtime {

constexpr std::uint16_t cardFileVersion = 1;

// The file's bytes for a card's state.
std::vector<std::uint8_t> cardFileBytes(std::span<const std::uint8_t> state);
// The card's state from the file's bytes. Throws Error (Simulation) naming
// `path` where they are no card file, one of another format version, or a
// corrupt one.
std::vector<std::uint8_t> cardFileState(std::span<const std::uint8_t> file, const std::string& path);

// The state in the card file at `path`; none where there is no file.
// Throws Error where it cannot be read or is refused.
std::optional<std::vector<std::uint8_t>> readCardFile(const std::string& path);
// The card file at `path` held by one simulator while it keeps its card
// there: a second one is refused, naming the file, rather than each
// overwriting the other's work. The lock is a file beside it, PATH.lock,
// locked with flock for as long as this object lives (and let go when the
// process ends however it ends).
class CardFileLock {
public:
    // Throws Error (Simulation) where another holds it or it cannot be made.
    explicit CardFileLock(const std::string& path);
    ~CardFileLock();
    CardFileLock(const CardFileLock&) = delete;
    CardFileLock& operator=(const CardFileLock&) = delete;

private:
    int fd_ = -1;
};

// Replaces the card file at `path` whole, flushed to the disk before it
// takes the old one's name. Throws Error where it cannot.
void writeCardFile(const std::string& path, std::span<const std::uint8_t> state);

} // namespace tolvane::runtime
