#pragma once

#include <string>
#include <vector>

namespace tolvane {

// Where a converter delivers its report: the log pane of the window, a
// console, or a list in memory.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    virtual void clear() = 0;
    virtual void appendLine(const std::string& line) = 0;
};

// Holds the report in memory.
class LineHolder final : public ReportSink {
public:
    void clear() override { lines_.clear(); }
    void appendLine(const std::string& line) override { lines_.push_back(line); }

    const std::vector<std::string>& lines() const { return lines_; }
    // The lines, each ended by '\n', as a console would show them.
    std::string text() const;

private:
    std::vector<std::string> lines_;
};

} // namespace tolvane
