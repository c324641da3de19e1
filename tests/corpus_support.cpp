#include "corpus_support.h"

#include "core/convert/input_file.h"
#include "core/exp/links.h"
#include "core/zip/archive.h"
#include "test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace tolvane {

using exp::ExportFile;
using namespace testing;

std::vector<CapEntry> corpusEntries(const std::string& path)
{
    ZipArchive archive;
    return entriesOf(readInput(path), archive);
}

bool haveCorpus(const std::string& path)
{
    if (exists(path))
        return true;
    if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
        ADD_FAILURE() << "no corpus at " << corpusDir() << ", which CI requires";
    return false;
}

std::vector<ExportFile> exportsMeeting(const cap::Package& package)
{
    std::vector<ExportFile> files(package.imports.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        files[i].package = {"p" + std::to_string(i), package.imports[i].aid, package.imports[i].major,
                            package.imports[i].minor, 0};
    const auto classOf = [&](unsigned pkg, unsigned token) -> exp::Class& {
        auto& classes = files[pkg].classes;
        for (auto& cls : classes)
            if (cls.token == token)
                return cls;
        classes.push_back(
            {token, exp::accPublic, "p" + std::to_string(pkg) + "/C" + std::to_string(token), {}, {}, {}, {}, {}});
        return classes.back();
    };
    // Every class first, so that types name them.
    for (const auto& e : package.pool) {
        if (e.kind == 5 || e.kind == 6) {
            if (e.staticRef.external())
                classOf(e.staticRef.package(), e.staticRef.classToken());
        } else if (e.classRef.external()) {
            classOf(e.classRef.package(), e.classRef.token());
        }
    }
    for (const auto& entry : package.classEntries)
        if (entry.superClass && entry.superClass->value.external())
            classOf(entry.superClass->value.package(), entry.superClass->value.token());
    for (const auto& entry : package.classEntries)
        for (const auto* list : {&entry.superInterfaces, &entry.implemented})
            for (const auto& ref : *list)
                if (ref.value.external())
                    classOf(ref.value.package(), ref.value.token()).flags |= exp::accInterface;
    for (const auto& cls : package.classes)
        for (const auto& method : cls.methods)
            for (const auto& instruction : method.instructions)
                if (instruction.opcode == 0x8E && instruction.poolIndex) // invokeinterface
                    if (const auto& ref = package.pool[*instruction.poolIndex].classRef; ref.external())
                        classOf(ref.package(), ref.token()).flags |= exp::accInterface;
    std::vector<std::shared_ptr<const ExportFile>> imported;
    for (const auto& file : files)
        imported.push_back(std::make_shared<const ExportFile>(file));
    for (std::size_t k = 0; k < package.pool.size(); ++k) {
        const auto& e = package.pool[k];
        const bool isStatic = e.kind == 5 || e.kind == 6, method = e.kind == 3 || e.kind == 4 || e.kind == 6;
        if (e.kind < 2 || (isStatic ? !e.staticRef.external() : !e.classRef.external()))
            continue;
        exp::Class& cls = isStatic ? classOf(e.staticRef.package(), e.staticRef.classToken())
                                   : classOf(e.classRef.package(), e.classRef.token());
        const exp::Member member{isStatic ? e.staticRef.token() : e.token,
                                 exp::accPublic | (isStatic ? exp::accStatic : 0u),
                                 "m" + std::to_string(k),
                                 exp::typeText(package, imported, package.types.at(package.poolTypes[k].value), method),
                                 {}};
        (method ? cls.methods : cls.fields).push_back(member);
    }
    return files;
}

void writeExports(const std::filesystem::path& folder, const std::vector<ExportFile>& files)
{
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto at = folder / ("p" + std::to_string(i)) / "javacard";
        std::filesystem::create_directories(at);
        writeFile((at / "p.exp").string(), exp::writeExportFile(files[i]));
    }
}

} // namespace tolvane
