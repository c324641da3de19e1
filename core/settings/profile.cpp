#include "core/settings/profile.h"

#include "core/base/file_layer.h"
#include "core/base/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tolvane::profile {
namespace {

// A line is looked at by its first bytes only: a section or key line is
// short, and a longer line is copied through without being held whole, so
// that a settings file of any size is read and written in bounded memory.
constexpr std::size_t lineHeadLimit = 64 * 1024;
constexpr std::size_t chunkSize = 64 * 1024;

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

// A value as stored: one with blanks at either end, or one that is itself in
// double quotes, is written in double quotes, which reading takes off again.
std::string encodedValue(std::string_view value)
{
    const bool blankAtEnd = !value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                                               value.back() == '\t');
    const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (blankAtEnd || quoted)
        return "\"" + std::string(value) + "\"";
    return std::string(value);
}

std::string decodedValue(std::string_view stored)
{
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"')
        stored = stored.substr(1, stored.size() - 2);
    return std::string(stored.substr(0, maxValueLength));
}

using ReadSome = std::function<std::int64_t(char*, std::size_t)>;
using Put = std::function<bool(std::string_view)>;

// Lines of a profile, read a chunk at a time.
class LineReader {
public:
    explicit LineReader(ReadSome read) : read_(std::move(read)) {}

    // The next line's first bytes (at most lineHeadLimit, without its '\n'),
    // and whether the line goes on past them; false at the end or on a
    // read error.
    bool next(std::string& head, bool& more)
    {
        skipRest();
        head.clear();
        if (!fill())
            return false;
        more = takeUntilNewline(head, lineHeadLimit);
        inLine_ = more;
        return true;
    }

    // Passes the rest of the current line, without its '\n', to `put`.
    bool copyRest(const Put& put)
    {
        std::string piece;
        while (inLine_) {
            if (!fill())
                return !failed_;
            piece.clear();
            inLine_ = takeUntilNewline(piece, chunkSize);
            if (!put(piece))
                return false;
        }
        return true;
    }

    void skipRest()
    {
        copyRest([](std::string_view) { return true; });
    }

    bool failed() const { return failed_; }

private:
    bool fill()
    {
        if (position_ < buffer_.size())
            return true;
        if (ended_)
            return false;
        buffer_.resize(chunkSize);
        const std::int64_t got = read_(buffer_.data(), buffer_.size());
        if (got <= 0) {
            failed_ = got < 0;
            ended_ = true;
            buffer_.clear();
            position_ = 0;
            inLine_ = false;
            return false;
        }
        buffer_.resize(static_cast<std::size_t>(got));
        position_ = 0;
        return true;
    }

    // Appends to `out` up to `limit` bytes of the line; true when the line
    // goes on past what was taken, false when its end (or the file's) came.
    bool takeUntilNewline(std::string& out, std::size_t limit)
    {
        while (fill()) {
            const auto newline = buffer_.find('\n', position_);
            const std::size_t end = newline == std::string::npos ? buffer_.size() : newline;
            const std::size_t room = limit - out.size();
            if (end - position_ > room) {
                out.append(buffer_, position_, room);
                position_ += room;
                return true;
            }
            out.append(buffer_, position_, end - position_);
            position_ = end;
            if (newline != std::string::npos) {
                ++position_;
                return false;
            }
        }
        return false;
    }

    ReadSome read_;
    std::string buffer_;
    std::size_t position_ = 0;
    bool ended_ = false;
    bool failed_ = false;
    bool inLine_ = false;
};

ReadSome fromText(std::string_view text)
{
    return [text](char* into, std::size_t size) mutable -> std::int64_t {
        const std::size_t n = std::min(size, text.size());
        text.copy(into, n);
        text.remove_prefix(n);
        return static_cast<std::int64_t>(n);
    };
}

ReadSome fromFile(int fd)
{
    return [fd](char* into, std::size_t size) { return files::readBytes(fd, into, size); };
}

// The value of `key` in the first section named `section`.
std::optional<std::string> find(LineReader& lines, std::string_view section, std::string_view key)
{
    bool inSection = false, sectionSeen = false;
    std::string head;
    bool more = false;
    while (lines.next(head, more)) {
        if (const auto name = sectionName(head)) {
            if (sectionSeen)
                break;
            inSection = sectionSeen = sameName(*name, section);
        } else if (const auto entry = keyLine(head); inSection && entry && sameName(entry->key, key)) {
            return decodedValue(entry->value);
        }
    }
    return std::nullopt;
}

// Copies the profile from `lines` to `put` with each of `values` set in the
// first section named `section`: a key there is replaced in place (keeping
// its spelling), a new one goes after the section's last non-blank line, a
// missing section goes at the end. Every other line is kept as it is; each
// line written ends in '\n'.
bool rewrite(LineReader& lines, const Put& put, std::string_view section, const std::vector<Value>& values)
{
    enum class Where { Before, InSection, After } where = Where::Before;
    std::vector<bool> done(values.size(), false);
    // Blank lines met in the section, held until it is known whether the
    // section goes on after them.
    std::vector<std::string> heldBlanks;
    const auto putPending = [&] {
        for (std::size_t i = 0; i < values.size(); ++i)
            if (!done[i] && !put(values[i].key + "=" + encodedValue(values[i].value) + "\n"))
                return false;
        std::fill(done.begin(), done.end(), true);
        return true;
    };
    const auto putHeldBlanks = [&] {
        for (const auto& blank : heldBlanks)
            if (!put(blank) || !put("\n"))
                return false;
        heldBlanks.clear();
        return true;
    };

    std::string head;
    bool more = false;
    while (lines.next(head, more)) {
        const auto name = more ? std::nullopt : sectionName(head);
        if (name && where == Where::InSection) {
            if (!putPending() || !putHeldBlanks())
                return false;
            where = Where::After;
        } else if (name && where == Where::Before && sameName(*name, section)) {
            where = Where::InSection;
        } else if (!name && where == Where::InSection) {
            if (!more && trimmed(head).empty()) {
                heldBlanks.push_back(head);
                continue;
            }
            if (!putHeldBlanks())
                return false;
            if (const auto entry = keyLine(head)) {
                std::size_t i = 0;
                while (i < values.size() && (done[i] || !sameName(entry->key, values[i].key)))
                    ++i;
                if (i < values.size()) {
                    done[i] = true;
                    if (!put(std::string(entry->key) + "=" + encodedValue(values[i].value) + "\n"))
                        return false;
                    lines.skipRest();
                    continue;
                }
            }
        }
        if (!put(head) || (more && !lines.copyRest(put)) || !put("\n"))
            return false;
    }
    if (lines.failed())
        return false;
    if (where == Where::Before && !put("[" + std::string(section) + "]\n"))
        return false;
    return putPending() && putHeldBlanks();
}

// Writes everything `put` is given to `fd`.
Put toFile(int fd)
{
    return [fd](std::string_view bytes) {
        return files::writeBytes(fd, bytes.data(), bytes.size()) == static_cast<std::int64_t>(bytes.size());
    };
}

Put toAtomicFile(files::AtomicFile& file)
{
    return [&file](std::string_view bytes) { return file.write(bytes.data(), bytes.size()); };
}

// Holds an exclusive lock on the folder of the settings file, so that the
// writes of two windows closing at once follow one another whole.
class FolderLock {
public:
    explicit FolderLock(const std::string& target)
    {
        const std::string folder = folderAndName(target).first;
        folder_ = files::FileHandle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        locked_ = folder_.valid() && files::lockExclusively(folder_.get(), true);
    }
    bool locked() const { return locked_; }

private:
    files::FileHandle folder_;
    bool locked_ = false;
};

} // namespace

std::optional<std::string> findValue(std::string_view content, std::string_view section, std::string_view key)
{
    LineReader lines(fromText(content));
    return find(lines, section, key);
}

std::string withValue(std::string_view content, std::string_view section, std::string_view key, std::string_view value)
{
    LineReader lines(fromText(content));
    std::string result;
    rewrite(lines, [&result](std::string_view bytes) { return result.append(bytes), true; }, section,
            {{std::string(key), std::string(value)}});
    return result;
}

std::string readString(std::string_view section, std::string_view key, std::string_view defaultValue,
                       const std::string& path)
{
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite));
    std::optional<std::string> value;
    if (file.valid()) {
        LineReader lines(fromFile(file.get()));
        value = find(lines, section, key);
    }
    return value ? *value : std::string(defaultValue.substr(0, maxValueLength));
}

bool writeString(std::string_view section, std::string_view key, std::string_view value, const std::string& path)
{
    return writeStrings(section, {{std::string(key), std::string(value)}}, path);
}

bool writeStrings(std::string_view section, const std::vector<Value>& values, const std::string& path)
{
    // A settings file that is a symbolic link is written through to its
    // target, in the target's folder, as dotfile setups expect.
    const std::string target = files::linkTarget(path);
    FolderLock lock(target);
    if (!lock.locked())
        return false;

    // A file that exists but cannot be read is not replaced by one that lacks
    // its other lines, and one without write permission is not replaced at all.
    // The file read is the one whose permissions are checked: its status
    // comes from the descriptor, not from a second look at the path.
    mode_t mode = files::newFilePermissions();
    struct stat info {};
    files::FileHandle old(files::openForReading(target, files::Sharing::ReadAndWrite, &info));
    if (old.valid()) {
        if (!files::permitsWriting(info))
            return false;
        mode = info.st_mode & 07777;
    } else if (::lstat(target.c_str(), &info) == 0 || errno != ENOENT) {
        return false;
    }
    LineReader lines(old.valid() ? fromFile(old.get()) : fromText(""));

    files::AtomicFile out;
    if (!out.begin(target, files::Links::WriteTarget, mode, files::Durability::Flushed, old.valid()))
        return false;
    if (!out.writesInPlace())
        return rewrite(lines, toAtomicFile(out), section, values) && out.commit();

    // Written in place, the file cannot be read while it is overwritten: the
    // new content is made in a scratch file first, then copied over it.
    std::error_code ignored;
    const auto scratchFolder = std::filesystem::temp_directory_path(ignored);
    files::FileHandle scratch(::open(scratchFolder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!scratch.valid() || !rewrite(lines, toFile(scratch.get()), section, values) ||
        files::seekFromStart(scratch.get(), 0) != 0)
        return false;
    std::string chunk(chunkSize, '\0');
    for (;;) {
        const std::int64_t got = files::readBytes(scratch.get(), chunk.data(), chunk.size());
        if (got < 0 || (got > 0 && !out.write(chunk.data(), static_cast<std::size_t>(got))))
            return false;
        if (got == 0)
            break;
    }
    return out.commit();
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
