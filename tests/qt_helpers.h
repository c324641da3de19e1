#pragma once

// Small helpers of the window's Qt Test suites.

#include "test_support.h"

#include <QString>
#include <string>

namespace tolvane::testing {

inline QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

inline std::string fileText(const std::string& path)
{
    const auto bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace tolvane::testing
