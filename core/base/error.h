#pragma once

#include <exception>
#include <string>
#include <vector>

namespace tolvane {

// What went wrong, for callers, tests and exit codes; users read the message.
enum class ErrorKind {
    NoCapFile, // the CAP path is empty
    UnhandledArchiveType,
    FullPathRequired,
    CannotOpen,      // the CAP file cannot be opened or read
    CannotCreate,    // the output file cannot be created
    CannotWrite,     // writing the output file failed
    Archive,         // the archive is refused, by the ZIP library or by our own checks
    CannotExtract,   // an entry cannot be extracted whole and intact
    CutOffComponent, // a .cap entry holds fewer bytes than its component length
    WrongFormat,     // the local-header scan cannot walk the file
    Settings,        // the settings file cannot be written
    NotLoadable,     // a card would refuse the CAP file's load file
    Card,            // the reader, the PC/SC service or the card failed or refused; `path` names the reader
    CardUsage,       // what was asked cannot be done with this card (a block size it cannot take, ...)
    ExportFile,      // an export file is refused; `path` names it
    Simulation,      // the simulated card refuses a load or an install; `path` names the file
    Unexpected,      // anything else, such as memory running out
};

// The one exception type of the core: raised where a conversion or a settings
// write fails, caught once by each front end. It carries what went wrong and
// where; the message shown to people is composed from them in one place.
class Error : public std::exception {
public:
    // `path` is the file concerned, `entry` the archive entry where there is
    // one, `detail` the reason (the system's text, the ZIP library's, or ours).
    Error(ErrorKind kind, std::string path, std::string detail = {}, std::string entry = {});

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& path() const noexcept { return path_; }
    const std::string& entry() const noexcept { return entry_; }
    const std::string& detail() const noexcept { return detail_; }

    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Lines that follow the message, each shown on its own: the further
    // findings of one refusal, and what became of the output file.
    const std::vector<std::string>& followingLines() const noexcept { return following_; }
    void addLine(std::string line) { following_.push_back(std::move(line)); }

private:
    ErrorKind kind_;
    std::string path_;
    std::string entry_;
    std::string detail_;
    std::string message_;
    std::vector<std::string> following_;
};

// The text an error display shows for a message: a full stop is appended when
// the message does not already end in punctuation at or below '.' in ASCII
// (so "x" and "x?" get one, "x." "x)" "x!" "x," and "x " do not).
std::string displayText(const std::string& message);

// The text an error box shows for `error`: its message, then each line that
// follows it (an Error's further refusals, what became of the output), each
// a paragraph of its own as displayText makes it, so that wrapped lines still
// read apart.
std::string displayText(const std::exception& error);

} // namespace tolvane
