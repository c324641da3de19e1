#include "core/output/ijc_output.h"

#include "core/base/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

// Whether `a` (whose status is `aStatus`, where known) and `b` are one file.
bool sameFile(std::optional<struct stat> aStatus, const std::string& a, const std::string& b)
{
    struct stat first {
    }, second{};
    if (aStatus)
        first = *aStatus;
    else if (::stat(a.c_str(), &first) != 0)
        return false;
    return ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

[[noreturn]] void cannotCreate(const std::string& path, const std::string& reason)
{
    throw Error(ErrorKind::CannotCreate, path, reason);
}

} // namespace

std::string untouchedOutputNote(const std::string& path)
{
    if (path.empty() || path == "-")
        return {};
    struct stat info {};
    return path + (::lstat(path.c_str(), &info) == 0 ? " was left as it was" : " was not created");
}

IjcOutput::IjcOutput(const std::string& ijcPath, const std::string& capPath, OnFailure onFailure)
    : path_(ijcPath), onFailure_(onFailure), toStandardOutput_(ijcPath == "-")
{
    if (toStandardOutput_)
        return;
    struct stat info {};
    const bool existed = ::lstat(ijcPath.c_str(), &info) == 0;
    if (existed && sameFile(S_ISLNK(info.st_mode) ? std::nullopt : std::optional(info), ijcPath, capPath))
        cannotCreate(ijcPath, "It is the CAP file itself");

    mode_ = files::newFilePermissions();
    if (existed) {
        if (S_ISDIR(info.st_mode))
            cannotCreate(ijcPath, std::strerror(EISDIR));
        if (S_ISREG(info.st_mode)) {
            // Held, never read or written: its content is replaced as a whole.
            // It is only locked, so the link it may have become since is not
            // followed, and whatever it is it cannot block the open.
            held_ = files::FileHandle(::open(ijcPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!held_.valid())
                cannotCreate(ijcPath, std::strerror(errno));
            if (!files::lockExclusively(held_.get(), false))
                cannotCreate(ijcPath, files::lastErrorText());
            mode_ = info.st_mode & 07777;
        } else if (!S_ISLNK(info.st_mode)) {
            cannotCreate(ijcPath, "Not a regular file");
        }
    }
    const auto fallback = onFailure == OnFailure::KeepOld ? files::Fallback::Refuse : files::Fallback::WriteInPlace;
    if (!content_.begin(ijcPath, files::Links::Replace, mode_, files::Durability::UntilPublished, existed, fallback))
        cannotCreate(ijcPath, files::lastErrorText());
    pending_.reserve(gatherLimit);
}

void IjcOutput::write(Bytes bytes)
{
    // Small components are gathered, so that a typical IJC file is written
    // with one call; large ones go straight through.
    if (!toStandardOutput_ && pending_.size() + bytes.size() > gatherLimit)
        flush();
    if (!toStandardOutput_ && bytes.size() >= gatherLimit) {
        if (!content_.write(bytes.data(), bytes.size()))
            cannotWrite();
        return;
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void IjcOutput::flush()
{
    if (!pending_.empty() && !content_.write(pending_.data(), pending_.size()))
        cannotWrite();
    pending_.clear();
}

void IjcOutput::commit()
{
    if (toStandardOutput_) {
        // A reader of the pipe gets the content whole or not at all.
        done_ = true;
        if (files::writeBytes(STDOUT_FILENO, pending_.data(), pending_.size()) !=
            static_cast<std::int64_t>(pending_.size()))
            throw Error(ErrorKind::CannotWrite, "standard output", files::lastErrorText());
        return;
    }
    flush();
    if (!content_.commit())
        cannotWrite();
    done_ = true;
    held_.reset();
}

bool IjcOutput::abandon()
{
    if (done_ || toStandardOutput_)
        return true;
    done_ = true;
    if (onFailure_ == OnFailure::KeepOld) {
        // Never written in place: the content aside is only forgotten.
        const bool discarded = content_.discard();
        held_.reset();
        return discarded;
    }
    const bool inPlace = content_.writesInPlace();
    bool emptied = true;
    if (inPlace) // the first write empties the file, and discard empties it again if anything was written
        emptied = content_.write(nullptr, 0);
    emptied = content_.discard() && emptied;
    if (!inPlace) {
        // An empty file takes the IJC path, by the same way as content would.
        files::AtomicFile empty;
        emptied = empty.begin(path_, files::Links::Replace, mode_, files::Durability::UntilPublished) && empty.commit();
    }
    held_.reset();
    return emptied;
}

void IjcOutput::cannotWrite()
{
    std::string reason = files::lastErrorText();
    if (!abandon() && onFailure_ == OnFailure::Empty)
        reason += "; the IJC file could not be emptied either: " + files::lastErrorText();
    throw Error(ErrorKind::CannotWrite, path_, reason);
}

} // namespace tolvane
