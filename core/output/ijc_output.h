#pragma once

#include "core/base/bytes.h"
#include "core/base/file_layer.h"
#include "core/cap/record.h"

#include <string>

namespace tolvane {

// The IJC file of one conversion. Construction creates (or truncates) it,
// holding it without sharing, and opens a temporary file beside it for the
// components; commit() puts the temporary file in its place. A conversion that
// fails before commit leaves the IJC file empty and no temporary file behind:
// never a partial IJC.
//
// As an observer of a conversion it writes the bytes taken for each entry, in
// the order met, and commits when the entries have ended.
class IjcOutput final : public CapObserver {
public:
    // Throws Error (CannotCreate). `capPath` is the file being converted: an
    // IJC path that leads to that very file is refused before it is touched.
    IjcOutput(const std::string& ijcPath, const std::string& capPath);

    // Throws Error (CannotWrite).
    void write(Bytes bytes);
    void commit();
    // Closes the IJC file without its new content, which a commit has not put
    // in place: the file stays as creation left it, empty.
    void abandon();

    const std::string& path() const { return path_; }

    void entry(const EntryRecord& record) override { write(record.taken); }
    void entriesEnded(std::uint64_t) override { commit(); }
    void end(const Outcome&) override { abandon(); }

private:
    [[noreturn]] void cannotWrite() const;

    std::string path_;
    files::FileHandle held_;
    files::ReplacementFile content_;
};

} // namespace tolvane
