#pragma once

#include "core/base/file_layer.h"
#include "core/base/whole_file.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct zip;

namespace tolvane {

// The entry stream: one per conversion, holding the current entry's bytes.
using EntryStream = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

// The archive component of the archive converter: opens a CAP file by the
// archive rules, names its entries and extracts them, in central-directory
// order. It only ever reads the file.
class ZipArchive {
public:
    // A CAP entry is a component of at most 65,538 bytes; these limits leave
    // ample room for anything else a CAP file holds while keeping an archive
    // that declares gigabytes from costing memory or time.
    static constexpr std::uint64_t entrySizeLimit = 16u << 20;
    static constexpr std::uint64_t archiveSizeLimit = capFileSizeLimit;

    ZipArchive();
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Closes any open archive, then opens the one at `path` by the archive
    // rules. An empty path opens nothing. Throws Error where the rules refuse.
    void open(const std::string& path);

    // The same, with the file's bytes already read by the caller (the file
    // exists): the same rules, and the file is not opened again.
    void open(const std::string& path, FileBytes bytes);

    bool isOpen() const { return open_; }

    // Every record of the central directory, directory entries included; 0
    // when no archive is open.
    std::int64_t entryCount() const;

    // The stored name of an entry, decoded from CP437 where it is not UTF-8.
    std::string entryName(std::int64_t index) const;

    // Replaces the content of `stream` by the entry's uncompressed bytes,
    // checked against its CRC-32 and declared size. The bytes are always those
    // that the ZIP library locates for the entry. Throws Error (CannotExtract)
    // for an entry that cannot be extracted whole and intact.
    void extract(std::int64_t index, EntryStream& stream);

    // Closes the archive without writing anything.
    void close();

    // The bytes of the archive last opened, kept after it closed so that
    // whatever else looks at the file looks at the bytes converted; empty
    // where none were read. Moves them out.
    FileBytes takeLastBytes() { return std::exchange(lastBytes_, {}); }

private:
    // Refuses, before anything is inflated, an archive whose entries share
    // bytes or declare more than a CAP file could hold.
    void checkLayout();
    void checkDeclaredSizes();
    // Reads the file that `file` holds open (whose status is `info`) into
    // memory and closes it; where `file` is not open, says why.
    void readWhole(const std::string& path, files::FileHandle& file, const struct stat& info);
    // Opens bytes_ through the library once the rules have let them through.
    void openBytes();

    ::zip* archive_ = nullptr;
    // The archive's bytes, which the library reads from memory.
    FileBytes bytes_;
    FileBytes lastBytes_;
    bool open_ = false;
    std::string path_;
};

} // namespace tolvane
