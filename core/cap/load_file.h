#pragma once

// A load file: the CAP file's components as a card loader sends them, in the
// reference load order, each whole, with nothing before, between or after
// them (the Load File Data Block). Making one checks the CAP file the way a
// card would, so that a developer hears why it will not load before a card
// refuses it.

#include "core/cap/package.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {

namespace exp {
class ExportPath;
struct ExportFile;
} // namespace exp

// An entry of a CAP file with its bytes, in archive order.
struct CapEntry {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::optional<std::size_t> offset; // where it begins, in an IJC file or load file given as input
};

struct LoadFileOptions {
    // Loaders differ on the Descriptor component; both choices give valid
    // load files (with different hashes).
    bool keepDescriptor = true;
    // Every component decoded and checked against the others; without,
    // what the checks find is only warned of.
    bool verify = true;
    // The Java Card release the package is for, such as "3.0.4": a package
    // that needs a newer one is refused. Empty for any.
    std::string target;
    // Where the export files of imported packages are found: with them,
    // every reference to an imported package is checked against its export
    // file. None: those references are not checked.
    std::shared_ptr<const exp::ExportPath> exports;
};

struct ImportedPackage {
    std::string aid; // upper-case hex
    unsigned major = 0;
    unsigned minor = 0;
    std::optional<std::string> name; // where the AID is well known
};

struct LoadComponent {
    std::string entry; // the stored entry name
    std::string name;  // its base name
    std::uint8_t tag = 0;
    std::vector<std::uint8_t> bytes;   // tag, size and content
    std::optional<std::size_t> offset; // where it was found, in an IJC file given as input
};

struct LeftOut {
    std::string entry;
    std::string reason;
};

struct LoadFile {
    bool fromComponents = false; // read from an IJC file or load file rather than a CAP file
    unsigned capMajor = 0, capMinor = 0;
    std::string packageAid;  // upper-case hex
    std::string packageName; // as stored; empty before CAP format 2.2
    unsigned packageMajor = 0, packageMinor = 0;
    std::vector<std::string> applets; // AIDs, upper-case hex
    std::vector<ImportedPackage> imports;
    bool descriptorKept = true;
    std::vector<LoadComponent> components; // in load order
    std::vector<LeftOut> leftOut;          // in archive order
    std::vector<std::string> warnings;
    std::vector<std::uint8_t> bytes; // the Load File Data Block
    std::string sha1, sha256;        // of `bytes`, lower-case hex
    // The oldest releases that provide the imported packages' versions.
    std::optional<std::string> requiresJavaCard, requiresGlobalPlatform;
    // Every component decoded.
    std::shared_ptr<const cap::Package> package;
    // What the checks found, each where it lies: those of the Debug
    // component, and the others where checking only warns of them.
    std::vector<cap::Finding> findings;
    // The export file of each imported package, by its place in Import,
    // where one was found on the export path.
    std::vector<std::shared_ptr<const exp::ExportFile>> exportFiles;
};

// Checks the entries and lays out their load file. Throws Error (NotLoadable)
// naming the entry and what is wrong when a card would refuse the CAP file:
// its framing, then every component decoded and checked against the others.
LoadFile makeLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options, const std::string& capPath);

} // namespace tolvane
