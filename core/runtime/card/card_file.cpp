#include "core/runtime/card/card_file.h"

#include "core/base/digest.h"
#include "core/base/error.h"
#include "core/base/file_layer.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tolvane::runtime {
namespace {

using namespace files;

constexpr char magic[] = "TOLVANE-CARD"; // 12 bytes, then the version
constexpr std::size_t magicSize = sizeof magic - 1, headerSize = magicSize + 2 + 4, hashSize = 32;
// Far past any card's memory: a length beyond it is corruption, not a card.
constexpr std::size_t largestState = 64 * 1024 * 1024;

void put(std::vector<std::uint8_t>& out, std::uint32_t value, unsigned bytes)
{
    for (unsigned i = bytes; i > 0; --i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
}

Error refusal(const std::string& path, const std::string& why)
{
    return Error(ErrorKind::Simulation, path, why);
}

} // namespace

std::vector<std::uint8_t> cardFileBytes(std::span<const std::uint8_t> state)
{
    std::vector<std::uint8_t> out(magic, magic + magicSize);
    put(out, cardFileVersion, 2);
    put(out, static_cast<std::uint32_t>(state.size()), 4);
    out.insert(out.end(), state.begin(), state.end());
    const auto hash = digest::of(digest::Algorithm::Sha256, out);
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

std::vector<std::uint8_t> cardFileState(std::span<const std::uint8_t> file, const std::string& path)
{
    if (file.size() < headerSize + hashSize || std::memcmp(file.data(), magic, magicSize) != 0)
        throw refusal(path, "not a card file (it does not begin with " + std::string(magic) + ")");
    const unsigned version = static_cast<unsigned>(file[magicSize] << 8 | file[magicSize + 1]);
    if (version != cardFileVersion)
        throw refusal(path, "a card file of format version " + std::to_string(version) +
                                ", and this tolvane reads version " + std::to_string(cardFileVersion));
    std::size_t length = 0;
    for (std::size_t i = 0; i < 4; ++i)
        length = length << 8 | file[magicSize + 2 + i];
    if (length > largestState || headerSize + length + hashSize != file.size())
        throw refusal(path, "a corrupt card file: its length says " + std::to_string(length) +
                                " bytes of state, and it holds " +
                                std::to_string(file.size() - std::min(file.size(), headerSize + hashSize)));
    const auto body = file.first(headerSize + length);
    const auto hash = digest::of(digest::Algorithm::Sha256, body);
    if (!std::equal(hash.begin(), hash.end(), file.begin() + static_cast<long>(headerSize + length)))
        throw refusal(path, "a corrupt card file: its SHA-256 does not match its contents");
    return {file.begin() + static_cast<long>(headerSize), file.begin() + static_cast<long>(headerSize + length)};
}

std::optional<std::vector<std::uint8_t>> readCardFile(const std::string& path)
{
    using namespace files;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw refusal(path, "the card file cannot be read: " + std::string(std::strerror(errno)));
    }
    FileHandle file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw refusal(path, "not a regular file, so no card file");
    if (static_cast<std::uint64_t>(info.st_size) > largestState + headerSize + hashSize)
        throw refusal(path, "not a card file: " + std::to_string(info.st_size) + " bytes, larger than any card");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto got = readBytes(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0)
            throw refusal(path, "the card file cannot be read: " + lastErrorText());
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return cardFileState(bytes, path);
}

CardFileLock::CardFileLock(const std::string& path)
{
    const std::string lock = path + ".lock";
    fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        throw refusal(path, "the card file's lock " + lock + " cannot be made: " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd_);
        throw refusal(path, error == EWOULDBLOCK
                                ? "the card file is in use by another simulator (it holds " + lock +
                                      "); one card file serves one simulator at a time"
                                : "the card file's lock " + lock + " cannot be taken: " + std::strerror(error));
    }
}

CardFileLock::~CardFileLock()
{
    ::close(fd_); // lets the lock go
}

void writeCardFile(const std::string& path, std::span<const std::uint8_t> state)
{
    using namespace files;
    const auto bytes = cardFileBytes(state);
    AtomicFile file;
    if (!file.begin(path, Links::WriteTarget, newFilePermissions(), Durability::Flushed, true, Fallback::Refuse) ||
        !file.write(bytes.data(), bytes.size()) || !file.commit())
        throw refusal(path, "the card cannot be saved: " + lastErrorText() +
                                "; the card file holds the card as it was last saved, without what changed since");
}

} // namespace tolvane::runtime
