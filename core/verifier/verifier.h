#pragma once

// The bytecode verifier: each method's instructions checked for the types
// they handle, by a data-flow analysis over the method (every way into an
// instruction merged, to a fixed point), as a card's own verifier would do
// before it lets the code run. Calls and field accesses are typed by the
// package's Descriptor component; the classes of imported packages are
// known only from their export files, and where none is given an
// assignment to one of them is taken as sound and counted.
//
// It expects a package that the structural checks (cap/verify.h) found
// sound: every index and branch target in range.

#include "core/cap/package.h"
#include "core/exp/export_file.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::verifier {

struct Result {
    std::vector<cap::Finding> faults; // each a reason a card's verifier would refuse the package
    // The places (instructions) where an imported class's relations or an
    // interface method's type were not known, and were taken as sound.
    unsigned unchecked = 0;
    // When asked for: the types before each instruction, by its offset in
    // Method ("stack: short, byte[] | locals: 0 Wallet, 1 short").
    std::map<unsigned, std::string> states;
};

Result verifyBytecode(const cap::Package& package, const std::vector<std::shared_ptr<const exp::ExportFile>>& imported,
                      bool keepStates = false);

} // namespace tolvane::verifier
