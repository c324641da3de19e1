#pragma once

#include "core/base/bytes.h"
#include "core/base/file_layer.h"
#include "core/cap/record.h"

#include <string>
#include <vector>

namespace tolvane {

// What a conversion that fails leaves at its output path.
enum class OnFailure {
    Empty,   // an empty file, never a partial one: the IJC conversion's own rule
    KeepOld, // the file that was there, byte for byte, or nothing where none was
};

// The output file of a conversion that fails: "q.ijc was left as it was", or
// "q.ijc was not created"; empty for standard output, where nothing partial
// is ever written.
std::string untouchedOutputNote(const std::string& path);

// The IJC file of one conversion. Its new content is written aside and takes
// the IJC path only when complete; until then the file there is left as it
// is, and a link there is never written through: a symbolic link is replaced
// by the new file, a file with other names loses only this one. A conversion
// that fails leaves an empty IJC file, never a partial one; with
// OnFailure::KeepOld, it leaves the old file as it was, or none, and a folder
// that takes no new file is refused rather than the old file written over.
//
// As an observer of a conversion it writes the bytes taken for each entry, in
// the order met, and commits when the entries have ended.
class IjcOutput final : public CapObserver {
public:
    // Throws Error (CannotCreate), with the IJC path as it was. `capPath` is
    // the file being converted: an IJC path that leads to that very file is
    // refused before anything is written. The path "-" is standard output,
    // which gets the content whole when it is committed, or nothing.
    IjcOutput(const std::string& ijcPath, const std::string& capPath, OnFailure onFailure = OnFailure::Empty);
    ~IjcOutput() override { abandon(); }
    IjcOutput(const IjcOutput&) = delete;
    IjcOutput& operator=(const IjcOutput&) = delete;

    // Throws Error (CannotWrite), leaving the IJC file empty (or as it was).
    void write(Bytes bytes);
    // Puts the content in place. Throws Error (CannotWrite), leaving the IJC
    // file empty (or as it was).
    void commit();
    // Leaves the IJC file empty (or as it was), unless the content was
    // committed; false when it could not.
    bool abandon();

    const std::string& path() const { return path_; }

    void entry(const EntryRecord& record) override { write(record.taken); }
    void entriesEnded(std::uint64_t) override { commit(); }
    void end(const Outcome&) override { (void)abandon(); }

private:
    static constexpr std::size_t gatherLimit = 64 * 1024;
    void flush();
    [[noreturn]] void cannotWrite();

    std::string path_;
    mode_t mode_ = 0;
    OnFailure onFailure_ = OnFailure::Empty;
    // The file at the IJC path when the conversion began, held locked so that
    // two conversions of one CAP file do not run at once.
    files::FileHandle held_;
    files::AtomicFile content_;
    std::vector<std::uint8_t> pending_;
    bool toStandardOutput_ = false;
    bool done_ = false;
};

} // namespace tolvane
