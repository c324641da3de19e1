#pragma once

// The checks of a decoded package: every reference of one component into
// another points at what it must, as a card's loader and verifier expect.

#include "core/cap/package.h"

#include <vector>

namespace tolvane::cap {

struct Verdict {
    std::vector<Finding> faults;   // each one a reason a card would refuse the package
    std::vector<Finding> warnings; // of the Debug component, which no card sees
};

Verdict verifyPackage(const Package& package);

} // namespace tolvane::cap
