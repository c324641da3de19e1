#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// The file operations the converters and the settings file rely on. Like the
// platform calls they stand in for, none throws: a failure gives -1 (or false)
// and leaves the system's text for it in lastErrorText().
namespace tolvane::files {

enum class Sharing {
    Nobody,       // an exclusive advisory lock, taken before anything is changed
    ReadAndWrite, // no lock: others may read and write meanwhile
};

constexpr int failed = -1;

// Opens an existing file for reading. Refuses anything but a regular file, so
// that a folder, a pipe or a device named like a CAP file cannot hang or
// mislead a reader.
int openForReading(const std::string& path, Sharing sharing);

// Opens a file for reading and writing, creating it or truncating one that
// exists. With Sharing::Nobody the lock is taken before the truncation, so a
// file held that way by another is left as it is.
int createForReadWrite(const std::string& path, Sharing sharing);

// The new position from the start, or -1.
std::int64_t seekFromStart(int fd, std::int64_t offset);
std::int64_t seekFromEnd(int fd, std::int64_t offset);

// Reads until `count` bytes or the end of the file; the count read, or -1.
std::int64_t readBytes(int fd, void* buffer, std::size_t count);

// Reads like readBytes from `offset` on, leaving the file position alone.
std::int64_t readBytesAt(int fd, void* buffer, std::size_t count, std::uint64_t offset);

// Writes all `count` bytes; the count written, or -1 if not all were.
std::int64_t writeBytes(int fd, const void* buffer, std::size_t count);

int closeFile(int fd);

std::string lastErrorText();

// Owns a descriptor of the layer and closes it on every way out.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ != failed; }
    int release();
    void reset();

private:
    int fd_ = failed;
};

// How far a commit goes to keep the new content through a power cut.
enum class Durability {
    // Flushed to the disk before the rename: after a power cut the target holds
    // the old content or the new, whole.
    Flushed,
    // Only renamed: a crash of the program never leaves half of the content,
    // and neither does a power cut on file systems that order a replacing
    // rename after its data (ext4's default); on others the target may then
    // be empty. For output that can be made again.
    UntilRenamed,
};

// New content for `target`, written to a temporary file in the same folder and
// renamed over the target by commit(), so that a reader never sees half of it.
// Unless committed, the temporary file is removed on destruction.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile() { discard(); }

    // Creates the temporary file with the permission bits `mode`; false on failure.
    bool open(const std::string& target, mode_t mode, Durability durability);
    bool write(const void* data, std::size_t count);
    // Renames the content over the target, flushing it first if it is to be durable.
    bool commit();
    void discard();

    const std::string& temporaryPath() const { return temporaryPath_; }

private:
    std::string target_;
    std::string temporaryPath_;
    FileHandle file_;
    Durability durability_ = Durability::Flushed;
};

// Permission bits a new file at `path` would get (those of the file there, or
// the default for a new file).
mode_t permissionsFor(const std::string& path);
mode_t permissionsOf(int fd);

} // namespace tolvane::files
