#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Text as a report line may show it: every control character (0x00 to 0x1F
// and 0x7F) written as \xHH, so that a name taken from a file can neither end
// a line and forge the ones after it nor send escape sequences to a terminal.
std::string withControlsEscaped(std::string_view text);

// Where a converter delivers its report: the log pane of the window, a
// console, or a list in memory.
//
// Every line passes through appendLine, which escapes its control bytes
// before a sink sees it: a sink cannot forget to, and no report, dump or
// message built later can carry a byte from a file to a terminal raw.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    virtual void clear() = 0;
    void appendLine(std::string_view line) { writeLine(withControlsEscaped(line)); }

protected:
    // Takes one line with no control byte in it.
    virtual void writeLine(const std::string& line) = 0;
};

// Holds the report in memory.
class LineHolder final : public ReportSink {
public:
    void clear() override { lines_.clear(); }

    const std::vector<std::string>& lines() const { return lines_; }
    // The lines, each ended by '\n', as a console would show them.
    std::string text() const;

protected:
    void writeLine(const std::string& line) override { lines_.push_back(line); }

private:
    std::vector<std::string> lines_;
};

} // namespace tolvane
