#pragma once

#include "core/cap/record.h"

namespace tolvane {

class ReportSink;

// The report of a load file as text, line by line to a sink: the CAP file,
// its package, applets and imports, the components in load order, what was
// left out and why, warnings, the total and the Load File Data Block hashes.
class LoadFileReport final : public CapObserver {
public:
    // With `dump`, every component decoded follows the report.
    // With `types` as well, the dump shows the verifier's types before each instruction.
    explicit LoadFileReport(ReportSink& sink, bool dump = false, bool types = false)
        : sink_(sink), dump_(dump), types_(types)
    {
    }

    void begin(const ConversionStart& start) override;
    void reading() override;
    void checked(const LoadFile& loadFile) override;
    void loadFile(const LoadFile& loadFile) override;
    void script(const apdu::Script& script) override;
    void capFile(const std::string& folder, bool fromAid) override;
    void end(const Outcome& outcome) override;

private:
    ReportSink& sink_;
    bool dump_ = false;
    bool types_ = false;
    ConversionStart start_;
};

} // namespace tolvane
