#include "core/base/file_layer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// An exclusive lock, or the reason there is none.
bool lockExclusively(int fd)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            lastError = "The file is in use by another process";
        else
            noteErrno(errno);
        return false;
    }
    return true;
}

int openChecked(const std::string& path, int flags, Sharing sharing)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; it means nothing for the
    // regular files that pass the check below.
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return fail(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        if (error == EINVAL) {
            lastError = "Not a regular file";
            return failed;
        }
        return fail(error);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (sharing == Sharing::Nobody && !lockExclusively(fd)) {
        ::close(fd);
        return failed;
    }
    return fd;
}

} // namespace

int openForReading(const std::string& path, Sharing sharing)
{
    return openChecked(path, O_RDONLY, sharing);
}

int createForReadWrite(const std::string& path, Sharing sharing)
{
    // No O_TRUNC: the lock has to be held before anything is changed.
    const int fd = openChecked(path, O_RDWR | O_CREAT, sharing);
    if (fd == failed)
        return failed;
    if (::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    return fd;
}

std::int64_t seekFromStart(int fd, std::int64_t offset)
{
    const off_t position = ::lseek(fd, offset, SEEK_SET);
    return position < 0 ? fail(errno) : position;
}

std::int64_t seekFromEnd(int fd, std::int64_t offset)
{
    const off_t position = ::lseek(fd, offset, SEEK_END);
    return position < 0 ? fail(errno) : position;
}

namespace {

// Reads until `count` bytes or the end of the file, one call of `readSome`
// (given where to put the bytes, how many, and how many are done) at a time.
template <typename ReadSome> std::int64_t readFully(void* buffer, std::size_t count, ReadSome readSome)
{
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = readSome(bytes + done, count - done, done);
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

} // namespace

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
        const ssize_t put = ::write(fd, bytes + done, count - done);
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

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : target_(std::move(other.target_)), temporaryPath_(std::exchange(other.temporaryPath_, {})),
      file_(std::move(other.file_)), durability_(other.durability_)
{
}

bool ReplacementFile::open(const std::string& target, mode_t mode, Durability durability)
{
    discard();
    // A name no one else uses; nobody else opens it, so it needs no lock.
    static std::atomic<unsigned> serial{0};
    const auto seed = static_cast<unsigned long long>(::getpid()) << 32 ^
                      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp-%llx%x", seed & 0xFFFFFFFFFFFFull, serial++);
        const std::string path = target + suffix;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return fail(errno), false;
        file_ = FileHandle(fd);
        target_ = target;
        temporaryPath_ = path;
        durability_ = durability;
        // The creation mask may have taken bits that the target has.
        if (permissionsOf(fd) != mode && ::fchmod(fd, mode) != 0) {
            noteErrno(errno);
            discard();
            return false;
        }
        return true;
    }
    return fail(EEXIST), false;
}

bool ReplacementFile::write(const void* data, std::size_t count)
{
    return writeBytes(file_.get(), data, count) == static_cast<std::int64_t>(count);
}

bool ReplacementFile::commit()
{
    const bool flushed = durability_ == Durability::UntilRenamed || ::fsync(file_.get()) == 0;
    if (!flushed || ::rename(temporaryPath_.c_str(), target_.c_str()) != 0) {
        noteErrno(errno);
        return false;
    }
    temporaryPath_.clear();
    file_.reset();
    return true;
}

void ReplacementFile::discard()
{
    if (!temporaryPath_.empty())
        ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
    file_.reset();
}

mode_t permissionsOf(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? (info.st_mode & 07777) : 0644;
}

mode_t permissionsFor(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0)
        return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace tolvane::files
