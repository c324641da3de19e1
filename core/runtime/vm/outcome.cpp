// How a diagnostic and an answer read.

#include "core/runtime/vm/outcome.h"

#include "core/base/hex.h"
#include "core/runtime/api/api_table.h"

#include <span>

namespace tolvane::runtime {
namespace {

std::string number(unsigned value, bool hex)
{
    if (!hex)
        return std::to_string(value);
    std::string text;
    appendHex(text, static_cast<std::uint8_t>(value >> 8), HexCase::Upper);
    appendHex(text, static_cast<std::uint8_t>(value), HexCase::Upper);
    return text;
}

// The name of an exception's reason where its class defines one
// ("NO_RESOURCE"), else nothing.
std::string reasonName(const std::string& exception, unsigned reason)
{
    for (const auto& row : std::span(apiMemberRows, apiMemberCount))
        if (row.field && row.hasValue && static_cast<unsigned>(row.value) == reason &&
            exception == std::string(row.package) + "." + row.cls)
            return row.name;
    return {};
}

} // namespace

std::string StackFrame::text() const
{
    std::string text = cls + "." + method + " at " + std::to_string(offset);
    if (!file.empty())
        text += " (" + file + (line ? ":" + std::to_string(line) : "") + ")";
    return text;
}

std::vector<std::string> Diagnostic::lines() const
{
    std::string first = exception.empty() ? "The command was stopped" : exception;
    if (reason) {
        const bool sw = exception == "javacard.framework.ISOException";
        first += " reason " + number(*reason, sw);
        if (!sw)
            if (const auto name = reasonName(exception, *reason); !name.empty())
                first += " (" + name + ")";
    }
    if (!detail.empty())
        first += ": " + detail;
    if (!apiCall.empty() && detail.find(apiCall) == std::string::npos)
        first += " (thrown by " + apiCall + ")";
    if (caught)
        first += " (caught)";
    std::vector<std::string> lines{first};
    for (const auto& frame : frames)
        lines.push_back("  at " + frame.text());
    return lines;
}

std::vector<std::uint8_t> Response::bytes() const
{
    std::vector<std::uint8_t> bytes = data;
    bytes.push_back(static_cast<std::uint8_t>(sw >> 8));
    bytes.push_back(static_cast<std::uint8_t>(sw));
    return bytes;
}

} // namespace tolvane::runtime
