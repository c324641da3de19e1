#include "core/cap/java_card.h"

#include <array>
#include <cctype>

namespace tolvane::cap {
namespace {

struct Named {
    const char* aid;
    const char* name;
};

constexpr std::array<Named, 22> wellKnown{{
    {"A0000000620001", "java.lang"},
    {"A0000000620002", "java.io"},
    {"A0000000620003", "java.rmi"},
    {"A0000000620101", "javacard.framework"},
    {"A000000062010101", "javacard.framework.service"},
    {"A0000000620102", "javacard.security"},
    {"A0000000620201", "javacardx.crypto"},
    {"A0000000620202", "javacardx.biometry"},
    {"A0000000620203", "javacardx.external"},
    {"A0000000620204", "javacardx.biometry1toN"},
    {"A0000000620205", "javacardx.security"},
    {"A000000062020801", "javacardx.framework.util"},
    {"A00000006202080101", "javacardx.framework.util.intx"},
    {"A000000062020802", "javacardx.framework.math"},
    {"A000000062020803", "javacardx.framework.tlv"},
    {"A000000062020804", "javacardx.framework.string"},
    {"A0000000620209", "javacardx.apdu"},
    {"A000000062020901", "javacardx.apdu.util"},
    {"A00000015100", "org.globalplatform"},
    {"A0000000030000", "visa.openplatform"},
    {"A0000000090003FFFFFFFF8910710001", "sim.access"},
    {"A0000000090003FFFFFFFF8910710002", "sim.toolkit"},
}};

struct Release {
    unsigned minor;
    const char* release;
};

// By minor version of major version 1, from the oldest release that provides it.
constexpr Release framework[] = {{0, "2.1.1"}, {1, "2.1.2"}, {2, "2.2.1"}, {3, "2.2.2"}, {4, "3.0.1"},
                                 {5, "3.0.4"}, {6, "3.0.5"}, {8, "3.1"},   {9, "3.2"}};
constexpr Release security[] = {{1, "2.1.1"}, {2, "2.2.1"}, {3, "2.2.2"}, {4, "3.0.1"},
                                {5, "3.0.4"}, {6, "3.0.5"}, {7, "3.1"}};
constexpr Release globalPlatform[] = {{0, "2.1.1"}, {1, "2.2"},   {2, "2.2"},  {3, "2.2"},
                                      {4, "2.2"},   {5, "2.2.1"}, {6, "2.2.1"}};

template <std::size_t N> std::optional<std::string> lookUp(const Release (&table)[N], unsigned major, unsigned minor)
{
    if (major != 1)
        return std::nullopt;
    for (const auto& row : table)
        if (row.minor == minor)
            return row.release;
    return std::nullopt;
}

} // namespace

std::optional<std::string> wellKnownPackageName(std::string_view aid)
{
    for (const auto& package : wellKnown)
        if (aid == package.aid)
            return package.name;
    return std::nullopt;
}

std::optional<std::string> javaCardReleaseFor(std::string_view aid, unsigned major, unsigned minor)
{
    if (aid == "A0000000620101")
        return lookUp(framework, major, minor);
    if (aid == "A0000000620102")
        return lookUp(security, major, minor);
    return std::nullopt;
}

std::optional<std::string> globalPlatformReleaseFor(std::string_view aid, unsigned major, unsigned minor)
{
    return aid == "A00000015100" ? lookUp(globalPlatform, major, minor) : std::nullopt;
}

int compareReleases(std::string_view a, std::string_view b)
{
    // Number by number; a missing number counts as 0, so 3.1 equals 3.1.0.
    while (!a.empty() || !b.empty()) {
        const auto take = [](std::string_view& text) {
            unsigned long value = 0;
            std::size_t i = 0;
            for (; i < text.size() && text[i] != '.'; ++i)
                value = value * 10 + static_cast<unsigned long>(text[i] - '0');
            text.remove_prefix(i < text.size() ? i + 1 : i);
            return value;
        };
        const unsigned long x = take(a), y = take(b);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool isRelease(std::string_view text)
{
    if (text.empty() || text.size() > 16 || text.front() == '.' || text.back() == '.')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (!digit && (text[i] != '.' || text[i - 1] == '.'))
            return false;
    }
    return true;
}

} // namespace tolvane::cap
