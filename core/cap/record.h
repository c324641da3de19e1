#pragma once

// The model of a CAP file that every output is made from. A reader (through
// the ZIP library, or by scanning local headers) meets the entries one by one
// and hands each to its observers as a record; the IJC writer, the text
// report and the JSON report are observers. A new output or report format is
// one new observer.

#include "core/base/bytes.h"
#include "core/base/error.h"
#include "core/cap/component.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

struct LoadFile;
namespace apdu {
struct Script;
}

enum class ReadingMode {
    Archive,  // entries in central-directory order, extracted by the ZIP library
    Scan,     // entries as their local headers lie in the file
    LoadFile, // entries through the ZIP library, checked and laid out as a load file
};

struct ConversionStart {
    ReadingMode mode = ReadingMode::Archive;
    std::string capPath;
    std::string ijcPath; // empty when nothing is to be written
};

// One entry of the CAP file, as met. Its byte spans last only for the call
// that hands it over: an observer that needs them later copies them.
struct EntryRecord {
    std::size_t index = 0; // 0 for the first entry met
    std::string_view storedName;
    std::string_view baseName;
    std::uint8_t tag = 0;               // the entry's first byte, 0 for an empty entry
    std::uint32_t componentLength = 0;  // as the entry's first three bytes frame it
    Bytes entry;                        // every byte the entry holds
    Bytes taken;                        // the bytes that the IJC file takes for it
    std::optional<HeaderFields> header; // where the entry is taken as a Header
};

// How a conversion ended.
struct Outcome {
    std::uint64_t total = 0;  // bytes taken for all entries
    bool formatError = false; // the scan could not walk the file
    std::optional<Error> error;

    bool ok() const { return !formatError && !error; }
};

// What a reader tells its observers, in this order: begin; outputOpened once
// the output file is held; reading when the CAP file's contents are reached;
// fileSize and formatError where the scan has them; entry for each entry met;
// entriesEnded after the last one; end on every way out, the error included.
// A load file is told by checked once checked, then, unless refused, whole
// by loadFile, before entriesEnded.
class CapObserver {
public:
    virtual ~CapObserver() = default;
    virtual void begin(const ConversionStart&) {}
    virtual void outputOpened() {}
    virtual void reading() {}
    virtual void fileSize(std::uint64_t) {}
    virtual void formatError() {}
    virtual void entry(const EntryRecord&) {}
    // The checks of a load file are done: what they found (its refusals,
    // findings and warnings) is told here, for a refused load file too.
    virtual void checked(const LoadFile&) {}
    virtual void loadFile(const LoadFile&) {}
    virtual void script(const apdu::Script&) {}
    // A CAP file was made again; its components lie under `folder`, a path
    // made from the package AID where `fromAid`.
    virtual void capFile(const std::string& /*folder*/, bool /*fromAid*/) {}
    // May throw: an output that cannot be completed fails the conversion.
    virtual void entriesEnded(std::uint64_t /*total*/) {}
    virtual void end(const Outcome&) {}
};

} // namespace tolvane
