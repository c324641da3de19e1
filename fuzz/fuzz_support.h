#pragma once

// Shared by the fuzz targets: the converters take a path, so each input is
// written to a file in a private folder first, and checked invariants abort
// so that the fuzzer keeps the input that broke them.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tolvane::fuzz {

// A folder of its own for this process, made on first use.
const std::string& workDir();

// Writes `size` bytes to `name` in the work folder and gives its path.
std::string writeInput(const std::string& name, const std::uint8_t* data, std::size_t size);

std::vector<std::uint8_t> readBack(const std::string& path);

// Aborts with a message when an invariant does not hold.
inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace tolvane::fuzz
