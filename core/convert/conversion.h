#pragma once

#include "core/cap/record.h"

#include <exception>
#include <vector>

namespace tolvane {

// The IJC file's path: `outputPath` where one is given, else the CAP path
// with ".ijc" for its extension.
std::string ijcPathFor(const std::string& capPath, const std::string& outputPath);

// One conversion as its observers see it: every event goes to each observer
// in the order they were added (the report first, the outputs after it, so
// that a report line stands before an output's failure), and `end` reaches
// them all on every way out, with the error that ended the conversion.
class Conversion final : public CapObserver {
public:
    Conversion(const ConversionStart& start, CapObserver& report);

    // An observer that joins once the conversion is under way, as an output
    // does once its file is held.
    void observe(CapObserver& observer) { observers_.push_back(&observer); }

    // Runs `body`, then tells the outcome; an error is passed on after that.
    template <typename Body> void run(Body body)
    {
        std::exception_ptr failure;
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
            noteFailure(failure);
        }
        end(outcome_);
        if (failure)
            std::rethrow_exception(failure);
    }

    const Outcome& outcome() const { return outcome_; }

    // Tells the observers that the entries have ended, with the bytes taken
    // for all of them (or the load file's size).
    void endEntries();

    void begin(const ConversionStart& start) override;
    void outputOpened() override;
    void reading() override;
    void fileSize(std::uint64_t bytes) override;
    void formatError() override;
    void entry(const EntryRecord& record) override;
    void checked(const LoadFile& loadFile) override;
    void loadFile(const LoadFile& loadFile) override;
    void script(const apdu::Script& script) override;
    void capFile(const std::string& folder, bool fromAid) override;
    void end(const Outcome& outcome) override;

private:
    void noteFailure(const std::exception_ptr& failure);

    ConversionStart start_;
    std::vector<CapObserver*> observers_;
    Outcome outcome_;
};

} // namespace tolvane
