#include "core/convert/conversion.h"

#include "core/base/paths.h"
#include "core/cap/load_file.h"

namespace tolvane {

std::string ijcPathFor(const std::string& capPath, const std::string& outputPath)
{
    return outputPath.empty() ? withExtension(capPath, ".ijc") : outputPath;
}

Conversion::Conversion(const ConversionStart& start, CapObserver& report) : start_(start), observers_{&report}
{
    begin(start_);
}

void Conversion::noteFailure(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        outcome_.error = error;
    } catch (const std::exception& error) {
        outcome_.error = Error(ErrorKind::Unexpected, start_.capPath, error.what());
    } catch (...) {
        outcome_.error = Error(ErrorKind::Unexpected, start_.capPath, "Unknown failure");
    }
}

void Conversion::begin(const ConversionStart& start)
{
    for (auto* observer : observers_)
        observer->begin(start);
}

void Conversion::outputOpened()
{
    for (auto* observer : observers_)
        observer->outputOpened();
}

void Conversion::reading()
{
    for (auto* observer : observers_)
        observer->reading();
}

void Conversion::fileSize(std::uint64_t bytes)
{
    for (auto* observer : observers_)
        observer->fileSize(bytes);
}

void Conversion::formatError()
{
    outcome_.formatError = true;
    for (auto* observer : observers_)
        observer->formatError();
}

void Conversion::entry(const EntryRecord& record)
{
    outcome_.total += record.taken.size();
    for (auto* observer : observers_)
        observer->entry(record);
}

void Conversion::capFile(const std::string& folder, bool fromAid)
{
    for (auto* observer : observers_)
        observer->capFile(folder, fromAid);
}

void Conversion::script(const apdu::Script& script)
{
    for (auto* observer : observers_)
        observer->script(script);
}

void Conversion::checked(const LoadFile& loadFile)
{
    for (auto* observer : observers_)
        observer->checked(loadFile);
}

void Conversion::loadFile(const LoadFile& loadFile)
{
    outcome_.total = loadFile.bytes.size();
    for (auto* observer : observers_)
        observer->loadFile(loadFile);
}

void Conversion::endEntries()
{
    for (auto* observer : observers_)
        observer->entriesEnded(outcome_.total);
}

void Conversion::end(const Outcome& outcome)
{
    for (auto* observer : observers_)
        observer->end(outcome);
}

} // namespace tolvane
