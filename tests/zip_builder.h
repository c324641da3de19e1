#pragma once

// Builds ZIP archives and CAP components in memory, so that every test says
// in code what its CAP file holds.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::testing {

using ByteVector = std::vector<std::uint8_t>;

ByteVector bytesOf(const std::string& text);

// A CAP component: the tag, the content's size as two big-endian bytes, the content.
ByteVector component(std::uint8_t tag, const ByteVector& content);

// A Header component of the CAP file format with the given version, package AID and name.
ByteVector headerComponent(std::uint8_t major, std::uint8_t minor, const ByteVector& aid, const std::string& name);

constexpr std::uint16_t stored = 0;
constexpr std::uint16_t deflated = 8;

struct ZipEntry {
    std::string name;
    ByteVector data; // the uncompressed bytes
    std::uint16_t method = stored;
    std::uint16_t flags = 0;
    // Sizes and CRC after the data (flag bit 3), zeros in the local header.
    bool dataDescriptor = false;
    ByteVector extra;
    std::uint16_t versionMadeBy = 20; // MS-DOS host
    // What the headers declare, where a test wants them to lie.
    std::optional<std::uint32_t> crc;
    std::optional<std::uint32_t> uncompressedSize;
    // Bytes stored as the entry's data in place of those `method` would give.
    std::optional<ByteVector> rawData;
    // No local header of its own: the central record points at that of the
    // earlier entry with this index, as overlapping zip bombs do.
    std::optional<std::size_t> sharesLocalHeaderOf;
};

struct ZipOptions {
    ByteVector prefix; // bytes before the first local header, counted in the offsets
    std::string comment;
};

ByteVector buildZip(const std::vector<ZipEntry>& entries, const ZipOptions& options = {});

// Raw Deflate data, as a ZIP entry stores it.
ByteVector deflate(const ByteVector& data);

std::uint32_t crc32Of(const ByteVector& data);

// The three components of the small wallet package used across the tests.
struct Wallet {
    ByteVector headerEntry; // the Header entry's bytes: 36, of which the component takes 33
    ByteVector header;      // the Header component, 33 bytes
    ByteVector directory;   // Directory component, 34 bytes
    ByteVector import;      // Import component, 14 bytes
};
Wallet walletComponents();

} // namespace tolvane::testing
