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

// Refuses, before any file is touched, what no archive conversion can take:
// no CAP path, or a CAP path that is its own IJC path (it ends in .ijc, which
// no archive kind has), reporting the file line for the latter.
void refuseUnconvertiblePath(const std::string& capPath, const std::string& ijcPath, CapObserver& report);

// Reads every entry of the open archive in central-directory order and tells
// `observer` of each. A .cap entry cut off before its component length throws
// Error (CutOffComponent).
void readArchiveEntries(const std::string& capPath, ZipArchive& archive, CapObserver& observer);

} // namespace tolvane
