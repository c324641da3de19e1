#include "core/checks/checks.h"

#include "core/exp/links.h"
#include "core/verifier/verifier.h"

#include <utility>

namespace tolvane {

LoadFile checkLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options, const std::string& capPath)
{
    LoadFile file = layOutLoadFile(entries, options, capPath);
    if (!file.package)
        return file;
    if (options.exports && !options.exports->empty()) {
        exp::LinkVerdict links = exp::checkLinks(*file.package, *options.exports, exp::OwnPackage::of(file));
        for (const auto& finding : links.faults)
            recordFinding(file, finding, options.verify);
        for (const auto& note : links.notes)
            file.warnings.push_back("Linking: " + note);
        file.exportFiles = std::move(links.imported);
    }
    // The types of the bytecode are checked only where its structure holds:
    // every index and branch target the verifier follows.
    if (file.structureHolds) {
        const verifier::Result types = verifier::verifyBytecode(*file.package, file.exportFiles);
        for (const auto& finding : types.faults)
            recordFinding(file, finding, options.verify);
        if (types.unchecked != 0)
            file.warnings.push_back("Verifying: " + std::to_string(types.unchecked) +
                                    (types.unchecked == 1 ? " use" : " uses") +
                                    " of imported classes taken as sound, for want of their export files");
    }
    return file;
}

void throwIfRefused(const LoadFile& loadFile, const std::string& capPath)
{
    if (!loadFile.refusals.empty())
        throw refusalError(loadFile.refusals, capPath);
}

LoadFile makeLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options, const std::string& capPath)
{
    LoadFile file = checkLoadFile(entries, options, capPath);
    throwIfRefused(file, capPath);
    return file;
}

} // namespace tolvane
