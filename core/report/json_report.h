#pragma once

#include "core/cap/record.h"

#include <memory>
#include <string>
#include <string_view>

namespace tolvane {

class ReportSink;

// The report for tools: one JSON object per conversion, appended to the sink
// as one line when the conversion ends, whichever way it ends. Its fields are
// documented in docs/report.schema.json.
class JsonReport final : public CapObserver {
public:
    // With `decoded`, a load file's object adds every component decoded;
    // with `scripts`, the commands of its APDU script.
    explicit JsonReport(ReportSink& sink, bool decoded = false, bool scripts = false);
    ~JsonReport() override;

    void begin(const ConversionStart& start) override;
    void fileSize(std::uint64_t bytes) override;
    void formatError() override;
    void entry(const EntryRecord& record) override;
    void checked(const LoadFile& loadFile) override;
    void loadFile(const LoadFile& loadFile) override;
    void script(const apdu::Script& script) override;
    void end(const Outcome& outcome) override;

private:
    struct Collected;
    ReportSink& sink_;
    bool decoded_ = false;
    bool scripts_ = false;
    std::unique_ptr<Collected> collected_;
};

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool isValidUtf8(std::string_view text);

} // namespace tolvane
