#include "core/base/file_layer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace tolvane::files {
namespace {

thread_local std::string lastError;

void noteErrno(int error)
{
    lastError = std::strerror(error);
}

int fail(int error)
{
    noteErrno(error);
    return failed;
}

// The test seam: which call fails, and how.
std::atomic<unsigned> callCount{0};
std::atomic<unsigned> failingCall{0};
std::atomic<int> injectedError{0};

// Counts a call of the layer; true (with errno set) when it is the one to fail.
bool injectedFailure()
{
    const unsigned n = ++callCount;
    if (failingCall != 0 && n == failingCall) {
        errno = injectedError;
        return true;
    }
    return false;
}

int openChecked(const std::string& path, int flags, Sharing sharing, struct stat* info)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; it means nothing for the
    // regular files that pass the check below.
    const int fd = injectedFailure() ? -1 : ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return fail(errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        if (error == EINVAL) {
            lastError = "Not a regular file";
            return failed;
        }
        return fail(error);
    }
    // O_NONBLOCK stays: a regular file's reads and writes do not heed it.
    if (info != nullptr)
        *info = status;
    if (sharing == Sharing::Nobody && !lockExclusively(fd, false)) {
        ::close(fd);
        return failed;
    }
    return fd;
}

// Reads until `count` bytes or the end of the file, one call of `readSome`
// (given where to put the bytes, how many, and how many are done) at a time.
template <typename ReadSome> std::int64_t readFully(void* buffer, std::size_t count, ReadSome readSome)
{
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = injectedFailure() ? -1 : readSome(bytes + done, count - done, done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(errno);
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

// A hidden temporary file of the fallback, removed if a signal ends the
// process before it is renamed or removed. One at a time: conversions and
// settings writes run one after another.
char pendingTemporary[4096];
std::atomic<bool> pendingSet{false};

extern "C" void removePendingAndDie(int signal)
{
    if (pendingSet)
        ::unlink(pendingTemporary);
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

constexpr int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void notePendingTemporary(const std::string& path)
{
    if (path.size() >= sizeof pendingTemporary)
        return;
    static const bool installed = [] {
        for (const int signal : cleanedSignals) {
            struct sigaction current {};
            // Only where nobody else handles the signal.
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
                std::signal(signal, removePendingAndDie);
        }
        return true;
    }();
    (void)installed;
    pendingSet = false;
    std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
    pendingSet = true;
}

void forgetPendingTemporary()
{
    pendingSet = false;
}

// Holds back the signals that end a process by default while a file is being
// published, so that none falls between its two steps.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : cleanedSignals)
            sigaddset(&held, signal);
        ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

// A short name that no one else uses: a long target name leaves no room
// for a suffix within the file system's limit on names.
std::string temporaryName()
{
    static std::mt19937_64 random(std::random_device{}() ^ static_cast<std::uint64_t>(::getpid()));
    char name[32];
    std::snprintf(name, sizeof name, ".tolvane-%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    return name;
}

std::pair<std::string, std::string> folderAndName(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

std::string linkTarget(const std::string& path)
{
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        char target[4096];
        const ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
        if (length < 0)
            return current;
        const std::string next(target, static_cast<std::size_t>(length));
        current = next.front() == '/' ? next : folderAndName(current).first + "/" + next;
    }
    return current;
}

bool lockExclusively(int fd, bool wait)
{
    for (;;) {
        if (injectedFailure())
            return fail(errno), false;
        if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            lastError = "The file is in use by another process";
        else
            noteErrno(errno);
        return false;
    }
}

int openForReading(const std::string& path, Sharing sharing, struct stat* info)
{
    return openChecked(path, O_RDONLY, sharing, info);
}

std::int64_t seekFromStart(int fd, std::int64_t offset)
{
    const off_t position = injectedFailure() ? -1 : ::lseek(fd, offset, SEEK_SET);
    return position < 0 ? fail(errno) : position;
}

std::int64_t seekFromEnd(int fd, std::int64_t offset)
{
    const off_t position = injectedFailure() ? -1 : ::lseek(fd, offset, SEEK_END);
    return position < 0 ? fail(errno) : position;
}

std::int64_t readBytes(int fd, void* buffer, std::size_t count)
{
    return readFully(buffer, count, [fd](char* into, std::size_t size, std::size_t) { return ::read(fd, into, size); });
}

std::int64_t readBytesAt(int fd, void* buffer, std::size_t count, std::uint64_t offset)
{
    return readFully(buffer, count, [fd, offset](char* into, std::size_t size, std::size_t done) {
        return ::pread(fd, into, size, static_cast<off_t>(offset + done));
    });
}

std::int64_t writeBytes(int fd, const void* buffer, std::size_t count)
{
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = injectedFailure() ? -1 : ::write(fd, bytes + done, count - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail(errno);
        if (put == 0)
            return fail(ENOSPC);
        done += static_cast<std::size_t>(put);
    }
    return static_cast<std::int64_t>(done);
}

int closeFile(int fd)
{
    if (injectedFailure()) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    return ::close(fd) == 0 ? 0 : fail(errno);
}

std::string lastErrorText()
{
    return lastError;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int FileHandle::release()
{
    return std::exchange(fd_, failed);
}

void FileHandle::reset()
{
    if (fd_ != failed)
        ::close(std::exchange(fd_, failed));
}

bool AtomicFile::begin(const std::string& path, Links links, mode_t mode, Durability durability, bool replacesExisting)
{
    discard();
    durability_ = durability;
    replacesExisting_ = replacesExisting;
    target_ = links == Links::WriteTarget ? linkTarget(path) : path;
    const auto [folder, name] = folderAndName(target_);
    name_ = name;
    const int folderFd = injectedFailure() ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return fail(errno), false;
    folder_ = FileHandle(folderFd);

    int fd = injectedFailure() ? -1 : ::openat(folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    kind_ = Kind::Unnamed;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here: a hidden one by a short name.
        for (int attempt = 0; attempt < 100; ++attempt) {
            temporaryName_ = temporaryName();
            fd = injectedFailure()
                     ? -1
                     : ::openat(folder_.get(), temporaryName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0 || errno != EEXIST)
                break;
        }
        kind_ = Kind::Named;
        if (fd >= 0)
            notePendingTemporary(folder + "/" + temporaryName_);
        else
            temporaryName_.clear();
    }
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        // The folder takes no new file; the target itself may still be
        // written, if it is a regular file of its own.
        const int refusal = errno;
        struct stat info {};
        if (::fstatat(folder_.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_nlink == 1 && permitsWriting(info)) {
            fd = injectedFailure() ? -1 : ::openat(folder_.get(), name_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
            kind_ = Kind::InPlace;
            emptyingPending_ = true;
        } else {
            errno = refusal;
        }
    }
    if (fd < 0) {
        const int error = errno;
        kind_ = Kind::None;
        folder_.reset();
        return fail(error), false;
    }
    file_ = FileHandle(fd);
    // The creation mask may have taken bits that the target is to have.
    if (kind_ != Kind::InPlace && (mode & ~creationMask()) != mode && ::fchmod(fd, mode) != 0) {
        const int error = errno;
        discard();
        return fail(error), false;
    }
    return true;
}

bool AtomicFile::emptyIfPending()
{
    if (!emptyingPending_)
        return true;
    emptyingPending_ = false;
    if (injectedFailure() || ::ftruncate(file_.get(), 0) != 0)
        return fail(errno), false;
    return true;
}

bool AtomicFile::write(const void* data, std::size_t count)
{
    if (!emptyIfPending())
        return false;
    return writeBytes(file_.get(), data, count) == static_cast<std::int64_t>(count);
}

bool AtomicFile::commit()
{
    if (kind_ == Kind::None || !emptyIfPending())
        return kind_ == Kind::None ? (fail(EBADF), false) : false;
    if (durability_ == Durability::Flushed && (injectedFailure() || ::fsync(file_.get()) != 0))
        return fail(errno), false;
    bool published = false;
    switch (kind_) {
    case Kind::Unnamed:
        published = publishUnnamed();
        break;
    case Kind::Named:
        published = publishNamed();
        break;
    case Kind::InPlace:
        published = closeFile(file_.release()) == 0;
        break;
    case Kind::None:
        break;
    }
    if (!published)
        return false;
    if (durability_ == Durability::Flushed)
        ::fsync(folder_.get());
    kind_ = Kind::None;
    folder_.reset();
    return true;
}

bool AtomicFile::publishUnnamed()
{
    SignalsHeld held;
    // The unnamed file is given a name of its own, then takes the target's by
    // a rename, which replaces a file there in one step. Where no file is
    // expected there, it takes the target's name at once.
    const auto link = [this](const char* name) {
        if (injectedFailure())
            return false;
        if (::linkat(file_.get(), "", folder_.get(), name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != ENOENT && errno != EPERM)
            return false;
        // Without the right to link by descriptor, through /proc.
        const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
        return ::linkat(AT_FDCWD, self.c_str(), folder_.get(), name, AT_SYMLINK_FOLLOW) == 0;
    };
    bool named = !replacesExisting_ && link(name_.c_str());
    if (!named && !replacesExisting_ && errno != EEXIST)
        return fail(errno), false;
    if (!named) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            temporaryName_ = temporaryName();
            if (link(temporaryName_.c_str()))
                break;
            if (errno != EEXIST)
                return temporaryName_.clear(), fail(errno), false;
        }
        if (!replaceByTemporary())
            return false;
    }
    // Once named, the content is there; a failing close can only report a
    // write the file system deferred, which flushed content has had already.
    return closeFile(file_.release()) == 0 || durability_ == Durability::Flushed;
}

bool AtomicFile::replaceByTemporary()
{
    // Exchanged rather than renamed over: ext4 writes out at once the data of
    // a file that replaces another by a rename, which would cost more than a
    // whole conversion. The old content then goes with the temporary name.
    const auto temporary = temporaryName_.c_str();
    bool exchanged =
        !injectedFailure() && ::renameat2(folder_.get(), temporary, folder_.get(), name_.c_str(), RENAME_EXCHANGE) == 0;
    if (!exchanged && errno != ENOENT && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        const int error = errno;
        ::unlinkat(folder_.get(), temporary, 0);
        temporaryName_.clear();
        return fail(error), false;
    }
    // Nothing to exchange with, or no exchange here: an ordinary rename.
    if (!exchanged && ::renameat(folder_.get(), temporary, folder_.get(), name_.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(folder_.get(), temporary, 0);
        temporaryName_.clear();
        return fail(error), false;
    }
    if (exchanged)
        ::unlinkat(folder_.get(), temporary, 0);
    temporaryName_.clear();
    return true;
}

bool AtomicFile::publishNamed()
{
    SignalsHeld held;
    if (closeFile(file_.release()) != 0) {
        ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
        forgetPendingTemporary();
        temporaryName_.clear();
        return false;
    }
    const bool replaced = replaceByTemporary();
    forgetPendingTemporary();
    return replaced;
}

void AtomicFile::discard()
{
    if (kind_ == Kind::Named && !temporaryName_.empty()) {
        ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
        forgetPendingTemporary();
    }
    // Written in place, a file whose writing began is left empty, never half written.
    if (kind_ == Kind::InPlace && file_.valid() && !emptyingPending_)
        (void)::ftruncate(file_.get(), 0);
    emptyingPending_ = false;
    temporaryName_.clear();
    file_.reset();
    folder_.reset();
    kind_ = Kind::None;
}

bool permitsWriting(const struct stat& info)
{
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    const uid_t user = ::geteuid();
    if (user == 0)
        return true;
    if (user == info.st_uid)
        return (info.st_mode & S_IWUSR) != 0;
    if (::getegid() == info.st_gid)
        return (info.st_mode & S_IWGRP) != 0;
    return (info.st_mode & S_IWOTH) != 0;
}

mode_t creationMask()
{
    // Read once: the program never changes it.
    static const mode_t mask = [] {
        const mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
}

mode_t newFilePermissions()
{
    return 0666 & ~creationMask();
}

void failCall(unsigned n, int error)
{
    injectedError = error;
    failingCall = n == 0 ? 0 : callCount + n;
}

unsigned calls()
{
    return callCount;
}

} // namespace tolvane::files
