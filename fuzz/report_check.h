#pragma once

#include "fuzz_support.h"

#include <string>
#include <vector>

namespace tolvane::fuzz {

// The number a component or total line ends with ("... N bytes").
inline unsigned long long trailingCount(const std::string& line)
{
    const auto end = line.rfind(" bytes");
    const auto start = line.rfind(' ', end - 1);
    return std::stoull(line.substr(start + 1, end - start - 1));
}

// After a conversion that ended normally: the report closes as it should, and
// the total line equals the IJC file's size.
inline void checkCompleteReport(const std::vector<std::string>& lines, std::size_t ijcSize)
{
    require(lines.size() >= 4, "a complete report has its closing lines");
    require(lines[lines.size() - 1] == "Done.", "the report ends with Done.");
    require(lines[lines.size() - 3].rfind(" Total IJC: ", 0) == 0, "the total line precedes the closing lines");
    require(trailingCount(lines[lines.size() - 3]) == ijcSize, "the total equals the IJC file's size");
}

} // namespace tolvane::fuzz
