#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

class CapObserver;
class ZipArchive;

// Reads every entry of the open archive in central-directory order and tells
// `observer` of each; the bytes taken for all of them. A .cap entry cut off
// before its component length throws Error (CutOffComponent).
std::uint64_t readArchiveEntries(const std::string& capPath, ZipArchive& archive, CapObserver& observer);

} // namespace tolvane
