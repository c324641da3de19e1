#include "core/cap/components_file.h"

#include "core/base/error.h"
#include "core/cap/package.h"

#include <array>

namespace tolvane {
namespace {

constexpr std::uint8_t firstCustomTag = 128;

bool hasMagic(Bytes file)
{
    return file.size() >= 7 && file[3] == 0xDE && file[4] == 0xCA && file[5] == 0xFF && file[6] == 0xED;
}

} // namespace

bool looksLikeComponents(Bytes file)
{
    return file.size() >= 7 && file[0] == cap::headerTag && hasMagic(file);
}

std::optional<ComponentFrame> componentFrameAt(Bytes file, std::size_t at)
{
    if (at >= file.size())
        return std::nullopt;
    ComponentFrame frame;
    frame.tag = file[at];
    frame.framing = frame.tag == cap::staticResourcesTag ? 5 : 3;
    if (file.size() - at < frame.framing)
        return std::nullopt;
    frame.size = static_cast<std::size_t>(file[at + 1]) << 8 | file[at + 2];
    if (frame.framing == 5)
        frame.size = frame.size << 16 | static_cast<std::size_t>(file[at + 3]) << 8 | file[at + 4];
    return frame;
}

std::string componentFileName(std::uint8_t tag)
{
    const char* known = cap::componentEntryName(tag);
    return known != nullptr ? known : "Custom-" + std::to_string(tag) + ".cap";
}

std::vector<CapEntry> componentsOf(Bytes file, const std::string& path)
{
    const auto refuse = [&](std::size_t offset, const std::string& problem) {
        throw Error(ErrorKind::NotLoadable, path,
                    "It is no sequence of components: at offset " + std::to_string(offset) + ", " + problem);
    };
    if (file.empty() || file[0] != cap::headerTag)
        refuse(0, "the first component is not a Header (tag 1)");
    if (!hasMagic(file))
        refuse(3, "the Header's magic number is not DECAFFED");
    std::vector<CapEntry> entries;
    std::array<bool, 256> seen{};
    std::size_t at = 0;
    while (at < file.size()) {
        const std::uint8_t tag = file[at];
        if (tag == 0 || (tag > cap::lastTag && tag < firstCustomTag))
            refuse(at, "tag " + std::to_string(tag) + " is no component's");
        if (seen[tag])
            refuse(at, "a second component with tag " + std::to_string(tag));
        seen[tag] = true;
        const auto frame = componentFrameAt(file, at);
        if (!frame)
            refuse(at, "the component's tag and size run past the end of the file");
        if (file.size() - at - frame->framing < frame->size)
            refuse(at, "the component of " + std::to_string(frame->size) + " bytes runs past the end of the file");
        const Bytes bytes = file.subspan(at, frame->framing + frame->size);
        entries.push_back({componentFileName(tag), {bytes.begin(), bytes.end()}, at});
        at += frame->framing + frame->size;
    }
    return entries;
}

} // namespace tolvane
