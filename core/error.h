#pragma once

#include <stdexcept>
#include <string>

namespace tolvane {

// What went wrong, for callers and tests; users read the message.
enum class ErrorKind {
    NoCapFile, // the CAP path is empty
    UnhandledArchiveType,
    FullPathRequired,
    CannotOpen,      // the CAP file cannot be opened for reading
    CannotCreate,    // the output file cannot be created
    CannotWrite,     // writing the output file failed
    Archive,         // the ZIP library refused the archive
    CannotExtract,   // an entry cannot be extracted whole and intact
    CutOffComponent, // a .cap entry holds fewer bytes than its component length
    Settings,        // the settings file cannot be written
};

// The one exception type of the core: raised where a conversion or a settings
// write fails, caught once by each front end.
class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

// The text an error display shows for a message: a full stop is appended when
// the message does not already end in punctuation at or below '.' in ASCII
// (so "x" and "x?" get one, "x." "x)" "x!" "x," and "x " do not).
std::string displayText(const std::string& message);

} // namespace tolvane
