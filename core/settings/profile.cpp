#include "core/settings/profile.h"

#include "core/base/file_layer.h"
#include "core/base/paths.h"

#include <sys/stat.h>
#include <vector>

namespace tolvane::profile {
namespace {

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool sameName(std::string_view a, std::string_view b)
{
    return upperAscii(a) == upperAscii(b);
}

std::vector<std::string_view> splitLines(std::string_view content)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const auto end = content.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The name of a section line "[name]", or nothing for any other line.
std::optional<std::string_view> sectionName(std::string_view line)
{
    const auto text = trimmed(line);
    if (text.size() < 2 || text.front() != '[')
        return std::nullopt;
    const auto close = text.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trimmed(text.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

// A line "key=value" (comments start with ';').
std::optional<KeyLine> keyLine(std::string_view line)
{
    const auto text = trimmed(line);
    if (text.empty() || text.front() == ';')
        return std::nullopt;
    const auto equals = text.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    return KeyLine{trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1))};
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite));
    if (!file.valid())
        return std::nullopt;
    std::string content;
    char chunk[8192];
    for (;;) {
        const auto got = files::readBytes(file.get(), chunk, sizeof chunk);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(got));
    }
    return content;
}

} // namespace

std::optional<std::string> findValue(std::string_view content, std::string_view section, std::string_view key)
{
    // Only the first section of that name counts, as for a write.
    bool inSection = false;
    bool sectionSeen = false;
    for (const auto line : splitLines(content)) {
        if (const auto name = sectionName(line)) {
            if (sectionSeen)
                break;
            inSection = sectionSeen = sameName(*name, section);
        } else if (const auto entry = keyLine(line); inSection && entry && sameName(entry->key, key)) {
            return std::string(entry->value.substr(0, maxValueLength));
        }
    }
    return std::nullopt;
}

std::string withValue(std::string_view content, std::string_view section, std::string_view key, std::string_view value)
{
    const auto lines = splitLines(content);
    std::optional<std::size_t> sectionLine, lastInSection, keyAt;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size() && !keyAt; ++i) {
        if (const auto name = sectionName(lines[i])) {
            inSection = !sectionLine && sameName(*name, section);
            if (inSection)
                sectionLine = lastInSection = i;
        } else if (inSection) {
            const auto entry = keyLine(lines[i]);
            if (entry && sameName(entry->key, key))
                keyAt = i;
            else if (!trimmed(lines[i]).empty())
                lastInSection = i;
        }
    }

    std::vector<std::string> out(lines.begin(), lines.end());
    const std::string newLine = std::string(key) + "=" + std::string(value);
    if (keyAt) {
        // Keep the key as the file spells it.
        out[*keyAt] = std::string(keyLine(lines[*keyAt])->key) + "=" + std::string(value);
    } else if (sectionLine) {
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(*lastInSection + 1), newLine);
    } else {
        std::string header = "[";
        header.append(section).append("]");
        out.push_back(std::move(header));
        out.push_back(newLine);
    }
    std::string result;
    for (const auto& line : out) {
        result += line;
        result += '\n';
    }
    return result;
}

std::string readString(std::string_view section, std::string_view key, std::string_view defaultValue,
                       const std::string& path)
{
    const auto content = readWholeFile(path);
    const auto value = content ? findValue(*content, section, key) : std::nullopt;
    return value ? *value : std::string(defaultValue.substr(0, maxValueLength));
}

bool writeString(std::string_view section, std::string_view key, std::string_view value, const std::string& path)
{
    // A file that exists but cannot be read is not replaced by one that lacks
    // its other lines.
    auto content = readWholeFile(path);
    if (!content) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0)
            return false;
        content.emplace();
    }
    const auto updated = withValue(*content, section, key, value);
    files::ReplacementFile replacement;
    return replacement.open(path, files::permissionsFor(path), files::Durability::Flushed) &&
           replacement.write(updated.data(), updated.size()) && replacement.commit();
}

std::optional<std::int32_t> parseInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';

    const auto rest = text.substr(i);
    std::size_t digitsAt = 0;
    bool hex = false;
    if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        hex = true;
        digitsAt = 1;
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        hex = true;
        digitsAt = 2;
    }
    const auto digits = rest.substr(digitsAt);
    if (digits.empty())
        return std::nullopt;

    std::uint64_t value = 0;
    for (const char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    if (hex) {
        // Eight digits at most, taken as the 32-bit pattern.
        const auto pattern = static_cast<std::uint32_t>(value);
        return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    }
    if (negative)
        return value <= 0x80000000u ? std::optional<std::int32_t>(static_cast<std::int32_t>(0 - value)) : std::nullopt;
    return value <= 0x7FFFFFFFu ? std::optional<std::int32_t>(static_cast<std::int32_t>(value)) : std::nullopt;
}

std::int32_t readInteger(std::string_view section, std::string_view key, std::int32_t defaultValue,
                         const std::string& path)
{
    std::string text = readString(section, key, "", path);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.replace(0, 2, "$");
    return parseInteger(text).value_or(defaultValue);
}

} // namespace tolvane::profile
