// The decoding and checking of a package on any bytes taken as a sequence of
// components (tag, size, content), as a load file lays them out. The checks
// run with and without refusing, so that decoding goes on past every fault.

#include "core/base/error.h"
#include "core/cap/load_file.h"
#include "fuzz_support.h"

#include <string>
#include <vector>

namespace {

const char* const entryNames[] = {
    "",          "Header.cap",          "Directory.cap",   "Applet.cap",      "Import.cap", "ConstantPool.cap",
    "Class.cap", "Method.cap",          "StaticField.cap", "RefLocation.cap", "Export.cap", "Descriptor.cap",
    "Debug.cap", "StaticResources.capx"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    std::vector<CapEntry> entries;
    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t tag = data[at];
        const std::size_t framing = tag == 13 ? 5 : 3;
        if (at + framing > size)
            break;
        std::size_t length = data[at + 1] << 8 | data[at + 2];
        if (tag == 13)
            length = length << 16 | data[at + 3] << 8 | data[at + 4];
        const std::size_t end = std::min(size, at + framing + length);
        const std::string name = tag >= 1 && tag <= 13 ? entryNames[tag] : "Custom" + std::to_string(tag) + ".cap";
        entries.push_back({"pkg/javacard/" + name, {data + at, data + end}, std::nullopt});
        at = end;
    }
    for (const bool verify : {true, false}) {
        try {
            const LoadFile file =
                makeLoadFile(entries, {.keepDescriptor = true, .verify = verify, .target = {}}, "input.cap");
            fuzz::require(!file.bytes.empty(), "a load file holds its components");
            fuzz::require(!verify || file.package != nullptr, "a load file that passed its checks is decoded");
        } catch (const Error& error) {
            fuzz::require(error.kind() == ErrorKind::NotLoadable, "a package is refused as not loadable");
        }
    }
    return 0;
}
