// The decoding and checking of a package on any bytes taken as a sequence of
// components (tag, size, content), as a load file lays them out. The checks
// run with and without refusing, so that decoding goes on past every fault;
// what is decoded is then laid out as the window's structure, every listing
// made. The same bytes go through the strict reader of IJC files given as
// input too.

#include "core/base/error.h"
#include "core/cap/components_file.h"
#include "core/cap/load_file.h"
#include "core/cap/package.h"
#include "core/checks/checks.h"
#include "core/report/structure.h"
#include "core/verifier/verifier.h"
#include "fuzz_support.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Every row of the package's structure and every method's listing.
void showEverything(const tolvane::LoadFile& file)
{
    std::size_t findingsShown = 0;
    const auto count = [&](const auto& self, const std::vector<tolvane::StructureRow>& rows) -> void {
        for (const auto& row : rows) {
            findingsShown += row.findings.size();
            self(self, row.children);
            if (row.hasListing)
                for (const auto& instruction : tolvane::listingOf(file, row.classIndex, row.methodIndex))
                    tolvane::fuzz::require(!instruction.label.empty(), "an instruction is shown");
        }
    };
    count(count, tolvane::structureOf(file));
    tolvane::fuzz::require(findingsShown >= file.findings.size(), "every finding is shown on a row");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    std::vector<CapEntry> entries;
    // Framed as an IJC file is, but leniently: a component cut short keeps
    // what there is, and any tag, however often, goes on to the checks.
    const Bytes bytes(data, size);
    for (std::size_t at = 0; const auto frame = componentFrameAt(bytes, at);) {
        const std::size_t end = std::min(size, at + frame->framing + frame->size);
        entries.push_back({"pkg/javacard/" + componentFileName(frame->tag), {data + at, data + end}, std::nullopt});
        at = end;
    }
    for (const bool verify : {true, false}) {
        try {
            const LoadFile file = makeLoadFile(
                entries, {.keepDescriptor = true, .verify = verify, .target = {}, .exports = {}}, "input.cap");
            fuzz::require(!file.bytes.empty(), "a load file holds its components");
            fuzz::require(!verify || file.package != nullptr, "a load file that passed its checks is decoded");
            // The window's view of it, every listing included, and the
            // dump's types, whatever the checks found.
            if (!verify) {
                showEverything(file);
                if (file.package)
                    for (const auto& [offset, state] : verifier::verifyBytecode(*file.package, {}, true).states)
                        fuzz::require(!state.empty(), "each instruction's types are shown");
            }
        } catch (const Error& error) {
            fuzz::require(error.kind() == ErrorKind::NotLoadable, "a package is refused as not loadable");
        }
    }
    // The same bytes as an IJC file given as input: its reader frames them
    // strictly, and what it takes makes the same load file.
    try {
        const auto framed = componentsOf(Bytes(data, size), "input.ijc");
        fuzz::require(!framed.empty() && framed.front().name == "Header.cap", "an IJC file begins with its Header");
    } catch (const Error& error) {
        fuzz::require(error.kind() == ErrorKind::NotLoadable, "an IJC file is refused as not loadable");
    }
    return 0;
}
