// Export files: any bytes read as one are refused or read, never read past
// their end; what is read writes out and reads back the same.

#include "core/base/error.h"
#include "core/exp/export_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    const Bytes bytes(data, size);
    try {
        (void)exp::readExportPackage(bytes, "input.exp");
        const exp::ExportFile file = exp::readExportFile(bytes, "input.exp");
        const exp::ExportFile back = exp::readExportFile(exp::writeExportFile(file), "written.exp");
        fuzz::require(back.package.text() == file.package.text() && back.package.aid == file.package.aid,
                      "the package reads back");
        fuzz::require(back.classes.size() == file.classes.size(), "every class reads back");
        for (std::size_t i = 0; i < file.classes.size(); ++i) {
            const auto &a = file.classes[i], &b = back.classes[i];
            fuzz::require(a.name == b.name && a.token == b.token && a.flags == b.flags && a.supers == b.supers &&
                              a.interfaces == b.interfaces && a.fields.size() == b.fields.size() &&
                              a.methods.size() == b.methods.size(),
                          "a class reads back as written");
            for (std::size_t k = 0; k < a.methods.size(); ++k)
                fuzz::require(a.methods[k].name == b.methods[k].name &&
                                  a.methods[k].descriptor == b.methods[k].descriptor &&
                                  a.methods[k].token == b.methods[k].token,
                              "a method reads back as written");
        }
    } catch (const Error&) {
        // Refused, saying where and why: not a fault.
    }
    return 0;
}
