#pragma once

// The records of the ZIP format that the project reads itself: the local
// header that the scan walks, and the central directory and end records that
// the archive checks read before the ZIP library inflates anything. Each is
// read once, here, through a checked cursor: a record cut off by the end of
// its bytes throws ByteCursor::ShortRead.

#include "core/base/byte_cursor.h"

#include <cstdint>
#include <optional>

namespace tolvane::zip {

constexpr std::uint32_t localHeaderSignature = 0x04034B50;
constexpr std::uint32_t centralRecordSignature = 0x02014B50;
constexpr std::uint32_t endRecordSignature = 0x06054B50;
constexpr std::uint32_t zip64EndRecordSignature = 0x06064B50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t archiveExtraDataSignature = 0x08064B50;

constexpr std::size_t localHeaderSize = 30;
constexpr std::size_t centralRecordSize = 46;
constexpr std::size_t endRecordSize = 22;
constexpr std::size_t zip64LocatorSize = 20;
constexpr std::size_t zip64EndRecordSize = 56;

constexpr std::uint16_t flagEncrypted = 0x0001;
constexpr std::uint16_t flagSizesAfterData = 0x0008;
constexpr std::uint16_t methodStored = 0;

// A 32-bit field holding this says that the ZIP64 extra field or end record
// holds the real value.
constexpr std::uint32_t zip64Marker32 = 0xFFFFFFFF;
constexpr std::uint16_t zip64Marker16 = 0xFFFF;

// True when the four bytes at `offset` are `signature`; false where fewer lie there.
bool signatureAt(Bytes bytes, std::uint64_t offset, std::uint32_t signature);

struct LocalHeader {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    Bytes name;
    Bytes extra;
};

// Reads a local header, its name and its extra field; the cursor is then at
// the entry's data. Nothing when the signature is not there.
std::optional<LocalHeader> readLocalHeader(ByteCursor& cursor);

struct CentralRecord {
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localOffset = 0;
    Bytes name;
};

// Reads one central-directory record with its name, extra field and comment,
// taking the 64-bit values of its ZIP64 extra field where the 32-bit fields
// are marked. Nothing when the signature is not there.
std::optional<CentralRecord> readCentralRecord(ByteCursor& cursor);

// Where the central directory lies and how many records it holds, from the
// end record or, where that is marked, the ZIP64 end record.
struct DirectoryExtent {
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
};

struct EndRecord {
    DirectoryExtent directory;
    std::uint16_t commentLength = 0;
    // A field holds its marker: the ZIP64 end record has the real values.
    bool marksZip64 = false;
};

std::optional<EndRecord> readEndRecord(ByteCursor& cursor);

// The offset of the ZIP64 end record that a locator points to.
std::optional<std::uint64_t> readZip64Locator(ByteCursor& cursor);

std::optional<DirectoryExtent> readZip64EndRecord(ByteCursor& cursor);

} // namespace tolvane::zip
