#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/stat.h>
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
// `info`, where given, receives the file's status.
int openForReading(const std::string& path, Sharing sharing, struct stat* info = nullptr);

// Takes an exclusive advisory lock on `fd` (a file or a folder); with `wait`
// false, a lock held by another fails at once ("in use by another process").
bool lockExclusively(int fd, bool wait);

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
    // Flushed to the disk before it is published: after a power cut the
    // target holds the old content or the new, whole.
    Flushed,
    // Only published: a crash of the program never leaves half of the
    // content, and neither does a power cut on file systems that order a
    // replacing rename after its data (ext4's default). For output that can
    // be made again.
    UntilPublished,
};

// What to do where the target's folder takes no new file.
enum class Fallback {
    WriteInPlace, // write a writable target in place: its old content is lost if the new is not completed
    Refuse,       // fail: the old content is kept whole until new content replaces it
};

// What a symbolic link at the target path stands for.
enum class Links {
    Replace,     // the link is replaced by the new file; what it points to is left alone
    WriteTarget, // the file the link points to is replaced, in its own folder
};

// New content for a file, which readers see only once it is complete: it is
// written to an unnamed file in the target's folder and given the target's
// name when committed, so that a process killed at any instant leaves the old
// file or the new one, never half of one. It takes the place only of a
// regular file (or, with Links::Replace, of a symbolic link) or of nothing:
// what it replaces is looked at after the exchange of names that publishes
// it, and anything else gets its name back.
//
// Publishing names the complete content by a hidden temporary name first,
// then exchanges that name with the target's. The signals that can be caught
// are held back meanwhile, but a SIGKILL (or a power cut) in that instant
// leaves the complete new content under a hidden name, `.tolvane-` and twelve
// hexadecimal digits, beside the target. Where the file system has no unnamed
// files, such a hidden file holds the content from the start, and is removed
// on the signals that can be caught. Where the folder takes no new file at
// all, a target that is a writable regular file with no other name is
// written in place instead (emptied on discard), unless Fallback::Refuse.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    // Prepares new content for `path` with the permission bits `mode`; false
    // on failure, with nothing changed. `replacesExisting` says whether a
    // file is expected at the path, which saves a step either way.
    bool begin(const std::string& path, Links links, mode_t mode, Durability durability, bool replacesExisting = true,
               Fallback fallback = Fallback::WriteInPlace);
    bool write(const void* data, std::size_t count);
    // Publishes the content under the target's name; false on failure, when
    // the content is forgotten as by discard and the target is left as it
    // was (or, written in place, empty),
    // except where only the flush of the folder under Durability::Flushed
    // failed: then the new content is in place but may not outlast a power
    // cut. Every failure of a call it makes, a close included, is reported.
    bool commit();
    // Forgets the content: the target is left as it was or, written in place
    // once its writing began, empty. False when it could not be emptied.
    bool discard();

    bool writesInPlace() const { return kind_ == Kind::InPlace; }
    // The path that the content is for: `path`, or its link's target.
    const std::string& target() const { return target_; }

private:
    enum class Kind { None, Unnamed, Named, InPlace };
    int openInPlace(int refusal);
    bool emptyIfPending();
    bool publishUnnamed();
    bool publishNamed();
    bool replaceByTemporary();
    bool removeExchanged();

    Kind kind_ = Kind::None;
    bool emptyingPending_ = false;
    bool replacesExisting_ = true; // written in place, the old content goes at the first write
    Durability durability_ = Durability::Flushed;
    Links links_ = Links::Replace;
    std::string target_;
    std::string name_; // the target's name in its folder
    FileHandle folder_;
    FileHandle file_;
    std::string temporaryName_;
};

// The path a symbolic link leads to, followed link by link; `path` itself
// when it is no link.
std::string linkTarget(const std::string& path);

// True when `info` describes a file that may be written: a write permission
// bit of the file's, or, without any, only for none (not even the superuser,
// who would otherwise write a file its owner made read-only).
bool permitsWriting(const struct stat& info);

// The process's file creation mask, and the permission bits of a new file:
// 0666 less the mask.
mode_t creationMask();
mode_t newFilePermissions();

// A seam for tests: the `n`th call of the layer from now on (1 for the next)
// fails with `error`, as though the system had refused it; 0 turns it off.
// Calls counts every call of the layer so far.
void failCall(unsigned n, int error);
// Another seam, for races: `body` runs just before the `n`th call from now.
void atCall(unsigned n, std::function<void()> body);
unsigned calls();

} // namespace tolvane::files
