#include "core/base/file_layer.h"

#include "core/base/paths.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <random>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <tuple>
#include <type_traits>
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

// Fails for a file of the wrong kind, naming its kind.
int refuseKind(const struct stat& status)
{
    if (S_ISDIR(status.st_mode))
        return fail(EISDIR);
    lastError = "Not a regular file";
    return failed;
}

// The test seam: which call fails, and how; what runs before which call.
std::atomic<unsigned> callCount{0};
std::atomic<unsigned> failingCall{0};
std::atomic<int> injectedError{0};
std::atomic<unsigned> actionCall{0};
std::function<void()> action;

// Counts a call of the layer; true (with errno set) when it is the one to fail.
bool injectedFailure()
{
    const unsigned n = ++callCount;
    if (actionCall != 0 && n == actionCall) {
        actionCall = 0;
        std::exchange(action, nullptr)();
    }
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
    if (injectedFailure() || ::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return refuseKind(status);
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
    // The signal stays blocked until the handler returns, and then ends the
    // process as it would have without the handler.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(signal, &standard, nullptr);
    ::raise(signal);
}

constexpr int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void notePendingTemporary(const std::string& path)
{
    if (path.size() >= sizeof pendingTemporary)
        return;
    static const bool installed = [] {
        struct sigaction handler {};
        handler.sa_handler = removePendingAndDie;
        sigemptyset(&handler.sa_mask);
        for (const int signal : cleanedSignals) {
            struct sigaction current {};
            // Only where nobody else handles the signal.
            if (::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
                current.sa_handler == SIG_DFL)
                ::sigaction(signal, &handler, nullptr);
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
// for a suffix within the file system's limit on names. It carries the
// process's id, so that one left behind by a process that was killed
// outright (SIGKILL cannot be caught) is known for a stray once that
// process is gone.
constexpr char temporaryPrefix[] = ".tolvane-";

std::string temporaryName()
{
    static std::mt19937_64 random(std::random_device{}() ^ static_cast<std::uint64_t>(::getpid()));
    char name[48];
    std::snprintf(name, sizeof name, "%s%ld-%08llx", temporaryPrefix, static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFull));
    return name;
}

// The process whose temporary file `name` is, where it is one of ours.
std::optional<pid_t> ownerOfTemporary(const char* name)
{
    if (std::strncmp(name, temporaryPrefix, sizeof temporaryPrefix - 1) != 0)
        return std::nullopt;
    const char* at = name + sizeof temporaryPrefix - 1;
    long pid = 0;
    const char* digits = at;
    while (*at >= '0' && *at <= '9' && at - digits < 10)
        pid = pid * 10 + (*at++ - '0');
    if (at == digits || *at++ != '-' || std::strlen(at) != 8 || pid <= 0)
        return std::nullopt;
    for (; *at != '\0'; ++at)
        if (!std::isxdigit(static_cast<unsigned char>(*at)))
            return std::nullopt;
    return static_cast<pid_t>(pid);
}

// Removes from `folder` the temporary files of processes that are gone:
// what a process killed between naming its new content and publishing it
// left behind. A file whose process still runs, or that cannot be told to
// be one of ours, is left alone.
void removeStrayTemporaries(int folder)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* entries = ::fdopendir(fd);
    if (entries == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(entries)) {
        const auto owner = ownerOfTemporary(entry->d_name);
        if (!owner || ::kill(*owner, 0) == 0 || errno != ESRCH)
            continue;
        struct stat status {};
        if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(entries);
}

// Removes the strays of `folder` the first time this process puts a file
// there. Listing the folder for every file would make a run over many files
// in one folder take the square of their number; a process killed later
// leaves its strays to the next run. A folder is known by its device, inode
// and, where the file system keeps it, its birth time, since a folder made
// after another was removed may take its inode.
void removeStrayTemporariesOnce(int folder)
{
    struct statx status {};
    if (::statx(folder, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &status) != 0) {
        removeStrayTemporaries(folder);
        return;
    }
    const bool born = (status.stx_mask & STATX_BTIME) != 0;
    const auto key = std::make_tuple(status.stx_dev_major, status.stx_dev_minor, status.stx_ino,
                                     born ? status.stx_btime.tv_sec : 0, born ? status.stx_btime.tv_nsec : 0u);
    static std::mutex guard;
    static std::set<std::remove_const_t<decltype(key)>> cleaned;
    {
        const std::lock_guard lock(guard);
        if (!cleaned.insert(key).second)
            return;
    }
    removeStrayTemporaries(folder);
}

// Whether `status` is of a file that new content may take the place of: a
// regular file, or a symbolic link where links are replaced.
bool replaceable(const struct stat& status, Links links)
{
    return S_ISREG(status.st_mode) || (links == Links::Replace && S_ISLNK(status.st_mode));
}

// The mask the process started with. /proc tells it without changing it;
// only without /proc is it set and restored, once, before any thread of the
// program's own can be creating files.
mode_t maskAtStart()
{
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr)
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask & 0777);
    }
    const mode_t current = ::umask(0);
    ::umask(current);
    return current;
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

bool AtomicFile::begin(const std::string& path, Links links, mode_t mode, Durability durability, bool replacesExisting,
                       Fallback fallback)
{
    discard();
    durability_ = durability;
    links_ = links;
    replacesExisting_ = replacesExisting;
    target_ = links == Links::WriteTarget ? linkTarget(path) : path;
    const auto [folder, name] = folderAndName(target_);
    name_ = name;
    const int folderFd = injectedFailure() ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return fail(errno), false;
    folder_ = FileHandle(folderFd);

    // A folder or a device at the path is refused before anything is made;
    // commit looks again at what it replaces.
    struct stat present {};
    if (::fstatat(folder_.get(), name_.c_str(), &present, AT_SYMLINK_NOFOLLOW) == 0 && !replaceable(present, links)) {
        folder_.reset();
        return refuseKind(present), false;
    }

    int fd = injectedFailure() ? -1 : ::openat(folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    kind_ = Kind::Unnamed;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here: a hidden one by a short name.
        removeStrayTemporariesOnce(folder_.get());
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
    if (fd < 0 && fallback == Fallback::WriteInPlace && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        kind_ = Kind::InPlace;
        fd = openInPlace(errno);
        emptyingPending_ = fd >= 0;
    } else if (fd < 0) {
        noteErrno(errno);
    }
    if (fd < 0) {
        kind_ = Kind::None;
        folder_.reset();
        return false;
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

int AtomicFile::openInPlace(int refusal)
{
    // The folder takes no new file; the target itself may still be written,
    // if it is a regular file of its own. What is opened is checked again by
    // its descriptor: a pipe or a second name put there since the first look
    // is never written.
    struct stat checked {};
    if (::fstatat(folder_.get(), name_.c_str(), &checked, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(checked.st_mode) ||
        checked.st_nlink != 1 || !permitsWriting(checked))
        return fail(refusal);
    const int fd =
        injectedFailure() ? -1 : ::openat(folder_.get(), name_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(errno);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    if (!S_ISREG(opened.st_mode) || opened.st_nlink != 1 || opened.st_dev != checked.st_dev ||
        opened.st_ino != checked.st_ino) {
        ::close(fd);
        lastError = "The file changed while it was opened";
        return failed;
    }
    return fd;
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
    if (kind_ == Kind::None)
        return fail(EBADF), false;
    // A commit that fails forgets the content, as discard does.
    const auto forget = [this] {
        const std::string error = lastError;
        (void)discard();
        lastError = error;
        return false;
    };
    if (!emptyIfPending())
        return forget();
    if (durability_ == Durability::Flushed && (injectedFailure() || ::fsync(file_.get()) != 0))
        return fail(errno), forget();
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
        return forget();
    kind_ = Kind::None;
    // The new name is written out too, or the commit says it may not last.
    const bool flushed = durability_ != Durability::Flushed || (!injectedFailure() && ::fsync(folder_.get()) == 0);
    if (!flushed)
        noteErrno(errno);
    folder_.reset();
    return flushed;
}

bool AtomicFile::publishUnnamed()
{
    SignalsHeld held;
    // The unnamed file is given a name of its own, then takes the target's by
    // an exchange of names. Where no file is expected there, it takes the
    // target's name at once. Either way it is closed before it is published,
    // or, named at once, taken back when the close fails.
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
    if (!replacesExisting_) {
        if (link(name_.c_str())) {
            if (closeFile(file_.release()) == 0)
                return true;
            ::unlinkat(folder_.get(), name_.c_str(), 0);
            return false;
        }
        if (errno != EEXIST)
            return fail(errno), false;
    }
    removeStrayTemporariesOnce(folder_.get());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryName_ = temporaryName();
        if (link(temporaryName_.c_str()))
            break;
        if (errno != EEXIST || attempt == 99)
            return temporaryName_.clear(), fail(errno), false;
    }
    if (closeFile(file_.release()) != 0) {
        ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
        temporaryName_.clear();
        return false;
    }
    return replaceByTemporary();
}

bool AtomicFile::publishNamed()
{
    SignalsHeld held;
    const bool published = closeFile(file_.release()) == 0 && replaceByTemporary();
    if (!published && !temporaryName_.empty()) {
        ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
        temporaryName_.clear();
    }
    forgetPendingTemporary();
    return published;
}

bool AtomicFile::replaceByTemporary()
{
    // Exchanged rather than renamed over: ext4 writes out at once the data of
    // a file that replaces another by a rename, which would cost more than a
    // whole conversion. The old content then goes with the temporary name,
    // once it is seen to be a file that may be replaced.
    const int folder = folder_.get();
    const char* temporary = temporaryName_.c_str();
    const char* name = name_.c_str();
    const auto giveUp = [&] {
        const int error = errno;
        ::unlinkat(folder, temporary, 0);
        temporaryName_.clear();
        return fail(error), false;
    };
    const auto unsupported = [] { return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP; };
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (!injectedFailure() && ::renameat2(folder, temporary, folder, name, RENAME_EXCHANGE) == 0)
            return removeExchanged();
        if (errno == ENOENT) {
            // Nothing there: the target's name is taken, unless something
            // has taken it meanwhile, when the exchange is tried again.
            if (::renameat2(folder, temporary, folder, name, RENAME_NOREPLACE) == 0)
                return temporaryName_.clear(), true;
            if (errno == EEXIST)
                continue;
        }
        if (!unsupported())
            return giveUp();
        // Neither exchange nor a rename that keeps what is there: what is
        // there is looked at, then renamed over.
        struct stat present {};
        if (::fstatat(folder, name, &present, AT_SYMLINK_NOFOLLOW) == 0 && !replaceable(present, links_)) {
            errno = S_ISDIR(present.st_mode) ? EISDIR : EINVAL;
            ::unlinkat(folder, temporary, 0);
            temporaryName_.clear();
            return refuseKind(present), false;
        }
        if (::renameat(folder, temporary, folder, name) != 0)
            return giveUp();
        return temporaryName_.clear(), true;
    }
    errno = EEXIST;
    return giveUp();
}

bool AtomicFile::removeExchanged()
{
    const int folder = folder_.get();
    const char* temporary = temporaryName_.c_str();
    // What the temporary name holds now was at the target: anything but a
    // file that may be replaced is given its name back.
    struct stat old {};
    const bool looked = ::fstatat(folder, temporary, &old, AT_SYMLINK_NOFOLLOW) == 0;
    const int lookError = errno;
    if (looked && replaceable(old, links_) && !injectedFailure() && ::unlinkat(folder, temporary, 0) == 0)
        return temporaryName_.clear(), true;
    const int error = !looked ? lookError : replaceable(old, links_) ? errno : S_ISDIR(old.st_mode) ? EISDIR : 0;
    // The target gets back what it held; the new content, now under the
    // temporary name, goes, so that nothing stray stays behind a failure.
    if (::renameat2(folder, temporary, folder, name_.c_str(), RENAME_EXCHANGE) == 0)
        ::unlinkat(folder, temporary, 0);
    temporaryName_.clear();
    if (error == 0) {
        lastError = "Not a regular file";
        return false;
    }
    return fail(error), false;
}

bool AtomicFile::discard()
{
    bool emptied = true;
    if (kind_ == Kind::Named && !temporaryName_.empty()) {
        ::unlinkat(folder_.get(), temporaryName_.c_str(), 0);
        forgetPendingTemporary();
    }
    // Written in place, a file whose writing began is left empty, never half written.
    if (kind_ == Kind::InPlace && file_.valid() && !emptyingPending_)
        emptied = (injectedFailure() ? -1 : ::ftruncate(file_.get(), 0)) == 0;
    if (!emptied)
        noteErrno(errno);
    emptyingPending_ = false;
    temporaryName_.clear();
    file_.reset();
    folder_.reset();
    kind_ = Kind::None;
    return emptied;
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
    static const mode_t mask = maskAtStart();
    return mask;
}

namespace {
// Read before main, while no thread of the program's own runs.
[[maybe_unused]] const mode_t maskReadAtStart = creationMask();
} // namespace

mode_t newFilePermissions()
{
    return 0666 & ~creationMask();
}

void failCall(unsigned n, int error)
{
    injectedError = error;
    failingCall = n == 0 ? 0 : callCount + n;
}

void atCall(unsigned n, std::function<void()> body)
{
    action = std::move(body);
    actionCall = callCount + n;
}

unsigned calls()
{
    return callCount;
}

} // namespace tolvane::files
