#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

class CapObserver;
class ZipArchive;

// Closes the archive on every way out of a conversion.
class ArchiveCloser {
public:
    explicit ArchiveCloser(ZipArchive& archive) : archive_(archive) {}
    ~ArchiveCloser();
    ArchiveCloser(const ArchiveCloser&) = delete;
    ArchiveCloser& operator=(const ArchiveCloser&) = delete;

private:
    ZipArchive& archive_;
};

// Reads every entry of the open archive in central-directory order and tells
// `observer` of each; the bytes taken for all of them. A .cap entry cut off
// before its component length throws Error (CutOffComponent).
std::uint64_t readArchiveEntries(const std::string& capPath, ZipArchive& archive, CapObserver& observer);

} // namespace tolvane
