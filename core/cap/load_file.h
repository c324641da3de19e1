#pragma once

// A load file: the CAP file's components as a card loader sends them, in the
// reference load order, each whole, with nothing before, between or after
// them (the Load File Data Block). Laying one out checks the CAP file's
// framing and its package's structure the way a card would, so that a
// developer hears why it will not load before a card refuses it; the checks
// that need more than the package (export files, the bytecode's types) are
// made above this model.

#include "core/base/error.h"
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

// A reason a card would refuse the load file.
struct Refusal {
    std::string entry; // the entry at fault, where one is
    std::string detail;
    bool placed = false; // among the findings, where it lies
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
    // What a card would refuse, in the order the checks met it. The first
    // is the error a refused load file is named by.
    std::vector<Refusal> refusals;
    // What the checks found, each where it lies, whether it refuses the
    // package or is only warned of.
    std::vector<cap::Finding> findings;
    // The package decoded with every index and branch target that its
    // bytecode's readers follow in bounds: what the types are checked on.
    bool structureHolds = false;
    // By tag: the entry holding each component met, empty where none does.
    std::vector<std::string> entryByTag;
    // The export file of each imported package, by its place in Import,
    // where one was found on the export path.
    std::vector<std::shared_ptr<const exp::ExportFile>> exportFiles;
};

// Checks the entries and lays out their load file: their framing, then every
// component decoded and checked against the others. What a card would refuse
// is gathered in `refusals` while what follows can still be read; where it
// cannot (a component that does not frame, a field cut off), throws Error
// (NotLoadable) naming that refusal and, on following lines, those before it.
LoadFile layOutLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options,
                        const std::string& capPath);

// Adds a finding of the checks to the load file: a refusal where it refuses,
// else a warning.
void recordFinding(LoadFile& file, const cap::Finding& finding, bool refuses);

// A refusal as an error names it.
std::string refusalText(const Refusal& refusal, const std::string& capPath);

// The error of a refused load file: its first refusal, the others each on a
// following line. `refusals` holds one at least.
Error refusalError(const std::vector<Refusal>& refusals, const std::string& capPath);

} // namespace tolvane
