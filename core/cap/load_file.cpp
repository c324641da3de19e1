#include "core/cap/load_file.h"

#include "core/base/byte_cursor.h"
#include "core/base/digest.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/cap/component.h"
#include "core/cap/java_card.h"
#include "core/cap/package.h"
#include "core/cap/verify.h"

#include <algorithm>
#include <array>
#include <optional>

namespace tolvane {
namespace {

// The component tags, as the decoder names them.
using cap::appletTag, cap::classTag, cap::constantPoolTag, cap::debugTag, cap::descriptorTag, cap::directoryTag,
    cap::exportTag, cap::headerTag, cap::importTag, cap::lastTag, cap::methodTag, cap::refLocationTag,
    cap::staticFieldTag, cap::staticResourcesTag;

constexpr std::uint8_t firstCustomTag = 128;

// Indexed by tag: whether every CAP file holds the component.
constexpr std::array<bool, lastTag + 1> required{false, true, true, false, true, true,  true,
                                                 true,  true, true, false, true, false, false};

constexpr std::array<std::uint8_t, 12> loadOrder{headerTag,       directoryTag,   importTag,          appletTag,
                                                 classTag,        methodTag,      staticFieldTag,     exportTag,
                                                 constantPoolTag, refLocationTag, staticResourcesTag, descriptorTag};

constexpr std::uint8_t accExport = 0x02, accApplet = 0x04, accExtended = 0x08;

std::optional<std::uint8_t> tagOfEntryName(std::string_view baseName)
{
    for (std::uint8_t tag = 1; tag <= lastTag; ++tag)
        if (upperAscii(baseName) == upperAscii(cap::componentEntryName(tag)))
            return tag;
    return std::nullopt;
}

std::string describe(std::uint8_t tag)
{
    return std::string(cap::componentTitle(tag)) + " (" + cap::componentEntryName(tag) + ")";
}

// A component met in the CAP file, with its framing checked.
struct Found {
    const CapEntry* entry = nullptr;
    std::uint32_t size = 0; // the size field
    Bytes content;          // the bytes after tag and size
};

class LoadFileMaker {
public:
    LoadFileMaker(const std::vector<CapEntry>& entries, const LoadFileOptions& options, const std::string& capPath)
        : entries_(entries), options_(options), capPath_(capPath)
    {
    }

    LoadFile make()
    {
        sortEntries();
        readHeader();
        checkPresence();
        readApplets();
        readImports();
        checkDirectory();
        layOut();
        nameImports();
        inspect();
        return std::move(loadFile_);
    }

private:
    // A refusal past which nothing can be read: it ends the checks, naming
    // the refusals met before it too.
    [[noreturn]] void refuse(const std::string& detail, const CapEntry* entry = nullptr)
    {
        note(detail, entry);
        throw refusalError(loadFile_.refusals, capPath_);
    }

    // A refusal past which the checks go on.
    void note(const std::string& detail, const CapEntry* entry = nullptr)
    {
        loadFile_.refusals.push_back({entry != nullptr ? entry->name : std::string(), detail, false});
    }

    // Reads fields of a component, turning a field it lacks into an error
    // that names the component and the field.
    template <typename Read> void readFields(const Found& found, Read read)
    {
        ByteCursor cursor(found.content, found.entry->bytes.size() - found.content.size());
        try {
            read(cursor);
        } catch (const ByteCursor::ShortRead& error) {
            refuse("it ends too soon: " + std::string(error.what()), found.entry);
        }
    }

    void sortEntries()
    {
        bool manifest = false;
        for (const auto& entry : entries_) {
            const std::string_view baseName = entryBaseName(entry.name);
            if (upperAscii(entry.name) == "META-INF/MANIFEST.MF")
                manifest = true;
            const auto tag = tagOfEntryName(baseName);
            const std::uint8_t first = byteOrZero(entry.bytes, 0);
            if (!tag) {
                leaveOut(entry, reasonForOther(entry, baseName));
                continue;
            }
            if (*tag == debugTag && first >= firstCustomTag && !entry.bytes.empty()) {
                // Old converters wrote debug data as a custom component; the
                // Directory must then list its tag, which checkDirectory sees to.
                customDebug_ = &entry;
                leaveOut(entry, "debug data written as a custom component (tag " + std::to_string(first) +
                                    "), never sent to a card");
                continue;
            }
            if (first != *tag)
                refuse("its tag byte is " + std::to_string(first) + ", but a " + cap::componentTitle(*tag) +
                           " component has tag " + std::to_string(*tag),
                       &entry);
            const Found found = framed(entry, *tag);
            if (found_[*tag].entry != nullptr)
                refuse(std::string("a second ") + cap::componentTitle(*tag) + " component; the first is \"" +
                           found_[*tag].entry->name + "\"",
                       &entry);
            found_[*tag] = found;
            if (*tag == debugTag)
                leaveOut(entry, "the Debug component, never sent to a card");
            else if (*tag == descriptorTag && !options_.keepDescriptor)
                leaveOut(entry, "the Descriptor component, left out as asked");
        }
        // An IJC file has no manifest to miss.
        const bool fromComponents = !entries_.empty() && entries_.front().offset.has_value();
        if (!manifest && !fromComponents)
            loadFile_.warnings.push_back("The CAP file has no META-INF/MANIFEST.MF (a card never sees it)");
    }

    static std::string reasonForOther(const CapEntry& entry, std::string_view baseName)
    {
        if (baseName.empty())
            return "a folder";
        if (upperAscii(entry.name) == "META-INF/MANIFEST.MF")
            return "the manifest, not a component";
        if (endsWithNoCase(baseName, ".cap") && !entry.bytes.empty() && entry.bytes[0] >= firstCustomTag)
            return "a custom component (tag " + std::to_string(entry.bytes[0]) + "), which loaders do not send";
        return "not a CAP component";
    }

    void leaveOut(const CapEntry& entry, const std::string& reason)
    {
        loadFile_.leftOut.push_back({entry.name, reason});
    }

    // The component's size field must count exactly the bytes after the tag
    // and the size: 2 bytes of size, or 4 for StaticResources.
    Found framed(const CapEntry& entry, std::uint8_t tag)
    {
        const std::size_t framing = tag == staticResourcesTag ? 5 : 3;
        if (entry.bytes.size() < framing)
            refuse("the entry holds " + std::to_string(entry.bytes.size()) + " bytes, too few for a tag and a size",
                   &entry);
        ByteCursor cursor(entry.bytes);
        cursor.skip(1, "tag");
        const std::uint32_t size = tag == staticResourcesTag ? cursor.be32("size") : cursor.be16("size");
        if (size != entry.bytes.size() - framing)
            refuse("its size field gives " + std::to_string(size) + " bytes, but the entry holds " +
                       std::to_string(entry.bytes.size() - framing) + " after its tag and size",
                   &entry);
        return {&entry, size, Bytes(entry.bytes).subspan(framing)};
    }

    void readHeader()
    {
        const Found& header = found_[headerTag];
        if (header.entry == nullptr)
            refuse("The CAP file has no " + describe(headerTag) + " component");
        readFields(header, [&](ByteCursor& cursor) {
            const std::uint32_t magic = cursor.be32("magic");
            if (magic != 0xDECAFFED)
                refuse("its magic number is " + hexText(Bytes(header.content).first(4), HexCase::Upper) +
                           ", not DECAFFED",
                       header.entry);
            loadFile_.capMinor = cursor.u8("CAP format minor version");
            loadFile_.capMajor = cursor.u8("CAP format major version");
            flags_ = cursor.u8("flags");
            if ((flags_ & accExtended) != 0)
                refuse("it is the Header of an extended CAP file (flag ACC_EXTENDED), whose load files this tool "
                       "does not make",
                       header.entry);
            if (loadFile_.capMajor != 2 || loadFile_.capMinor < 1 || loadFile_.capMinor > 3)
                refuse("CAP format " + std::to_string(loadFile_.capMajor) + "." + std::to_string(loadFile_.capMinor) +
                           " is not one of 2.1, 2.2 and 2.3",
                       header.entry);
            loadFile_.packageMinor = cursor.u8("package minor version");
            loadFile_.packageMajor = cursor.u8("package major version");
            loadFile_.packageAid = readAid(cursor, header, "package AID");
            if (loadFile_.capMinor >= 2) {
                const Bytes name = cursor.take(cursor.u8("package name length"), "package name");
                loadFile_.packageName.assign(name.begin(), name.end());
            }
        });
    }

    std::string readAid(ByteCursor& cursor, const Found& found, const char* what)
    {
        const std::uint8_t length = cursor.u8(what);
        if (length < 5 || length > 16)
            refuse(std::string("its ") + what + " is " + std::to_string(length) + " bytes long, not 5 to 16",
                   found.entry);
        return hexText(cursor.take(length, what), HexCase::Upper);
    }

    void checkPresence()
    {
        for (std::uint8_t tag = 1; tag <= lastTag; ++tag)
            if (required[tag] && found_[tag].entry == nullptr)
                refuse("The CAP file has no " + describe(tag) + " component");
        const auto requireExactly = [&](std::uint8_t tag, std::uint8_t flag, const char* flagName) {
            const bool flagged = (flags_ & flag) != 0;
            const bool present = found_[tag].entry != nullptr;
            if (flagged && !present)
                note(std::string("The Header sets ") + flagName + ", but the CAP file has no " + describe(tag) +
                     " component");
            if (!flagged && present)
                note(std::string("the Header does not set ") + flagName + ", yet the CAP file has this " +
                         cap::componentTitle(tag) + " component",
                     found_[tag].entry);
        };
        requireExactly(appletTag, accApplet, "ACC_APPLET");
        requireExactly(exportTag, accExport, "ACC_EXPORT");
        if (found_[staticResourcesTag].entry != nullptr && loadFile_.capMinor < 3)
            note("a StaticResources component needs CAP format 2.3, and the Header gives " +
                     std::to_string(loadFile_.capMajor) + "." + std::to_string(loadFile_.capMinor),
                 found_[staticResourcesTag].entry);
    }

    void readApplets()
    {
        const Found& applet = found_[appletTag];
        if (applet.entry == nullptr)
            return;
        readFields(applet, [&](ByteCursor& cursor) {
            const std::uint8_t count = cursor.u8("applet count");
            for (unsigned i = 0; i < count; ++i) {
                loadFile_.applets.push_back(readAid(cursor, applet, "applet AID"));
                cursor.skip(2, "install method offset");
            }
        });
    }

    void readImports()
    {
        readFields(found_[importTag], [&](ByteCursor& cursor) {
            const std::uint8_t count = cursor.u8("import count");
            for (unsigned i = 0; i < count; ++i) {
                ImportedPackage package;
                package.minor = cursor.u8("imported package minor version");
                package.major = cursor.u8("imported package major version");
                const Bytes aid = cursor.take(cursor.u8("imported package AID length"), "imported package AID");
                package.aid = hexText(aid, HexCase::Upper);
                loadFile_.imports.push_back(package);
            }
        });
    }

    bool written(std::uint8_t tag) const
    {
        return found_[tag].entry != nullptr && tag != debugTag && (tag != descriptorTag || options_.keepDescriptor);
    }

    void checkDirectory()
    {
        const Found& directory = found_[directoryTag];
        std::array<std::optional<std::uint32_t>, lastTag + 1> sizes{};
        unsigned importCount = 0, appletCount = 0;
        std::vector<std::uint8_t> customTags;
        readFields(directory, [&](ByteCursor& cursor) {
            const std::uint8_t lastSized = loadFile_.capMinor == 1 ? descriptorTag : debugTag;
            for (std::uint8_t tag = 1; tag <= lastSized; ++tag)
                sizes[tag] = cursor.be16("component size");
            if (loadFile_.capMinor >= 3)
                sizes[staticResourcesTag] = cursor.be32("StaticResources size");
            cursor.skip(6, "static field size information");
            importCount = cursor.u8("import count");
            appletCount = cursor.u8("applet count");
            const std::uint8_t customCount = cursor.u8("custom count");
            for (unsigned i = 0; i < customCount; ++i) {
                customTags.push_back(cursor.u8("custom component tag"));
                cursor.skip(2, "custom component size");
                customAids_.push_back(readAid(cursor, directory, "custom component AID"));
            }
        });

        for (std::uint8_t tag = 1; tag <= lastTag; ++tag) {
            const std::uint32_t given = sizes[tag].value_or(0);
            if (written(tag) && given != found_[tag].size)
                note(std::string("it gives ") + cap::componentTitle(tag) + " " + std::to_string(given) +
                         " bytes, but " + cap::componentEntryName(tag) + "'s size field gives " +
                         std::to_string(found_[tag].size),
                     directory.entry);
            // A verifier refuses a size for a component that is not there,
            // though no card sees it: checked with the package.
            if (found_[tag].entry == nullptr && given != 0)
                directoryFindings_.push_back({directoryTag, std::string("size of ") + cap::componentTitle(tag),
                                              tag == staticResourcesTag ? 24u : 2u * (tag - 1u),
                                              "it gives " + std::to_string(given) + " bytes, but the CAP file has no " +
                                                  cap::componentEntryName(tag)});
        }
        if (importCount != loadFile_.imports.size())
            note("its import count is " + std::to_string(importCount) + ", but Import.cap lists " +
                     std::to_string(loadFile_.imports.size()) + " packages",
                 directory.entry);
        if (appletCount != loadFile_.applets.size())
            note("its applet count is " + std::to_string(appletCount) + ", but the CAP file has " +
                     std::to_string(loadFile_.applets.size()) + " applets",
                 directory.entry);
        if (customDebug_ != nullptr &&
            std::find(customTags.begin(), customTags.end(), customDebug_->bytes[0]) == customTags.end())
            note("its tag byte is " + std::to_string(customDebug_->bytes[0]) +
                     ", a custom tag that the Directory does not list, where a Debug component has tag 12",
                 customDebug_);
    }

    void layOut()
    {
        loadFile_.descriptorKept = options_.keepDescriptor;
        for (const std::uint8_t tag : loadOrder) {
            if (!written(tag))
                continue;
            const CapEntry& entry = *found_[tag].entry;
            loadFile_.components.push_back(
                {entry.name, std::string(entryBaseName(entry.name)), tag, entry.bytes, entry.offset});
            loadFile_.fromComponents = entry.offset.has_value();
            loadFile_.bytes.insert(loadFile_.bytes.end(), entry.bytes.begin(), entry.bytes.end());
        }
        loadFile_.sha1 = digest::sha1Hex(loadFile_.bytes);
        loadFile_.sha256 = digest::sha256Hex(loadFile_.bytes);
    }

    void nameImports()
    {
        for (auto& package : loadFile_.imports) {
            package.name = cap::wellKnownPackageName(package.aid);
            const auto newer = [](std::optional<std::string>& kept, std::optional<std::string> release) {
                if (release && (!kept || cap::compareReleases(*release, *kept) > 0))
                    kept = std::move(release);
            };
            newer(loadFile_.requiresJavaCard, cap::javaCardReleaseFor(package.aid, package.major, package.minor));
            newer(loadFile_.requiresGlobalPlatform,
                  cap::globalPlatformReleaseFor(package.aid, package.major, package.minor));
        }
    }

    // Decodes every component and checks each against the others; then the
    // Java Card release asked for.
    void inspect()
    {
        cap::ComponentSet components;
        for (std::uint8_t tag = 1; tag <= lastTag; ++tag) {
            components.present[tag] = found_[tag].entry != nullptr;
            components.content[tag] = found_[tag].content;
            components.entry[tag] = components.present[tag] ? found_[tag].entry->name : std::string();
        }
        loadFile_.entryByTag.assign(lastTag + 1, std::string());
        for (std::uint8_t tag = 1; tag <= lastTag; ++tag)
            if (found_[tag].entry != nullptr)
                loadFile_.entryByTag[tag] = found_[tag].entry->name;
        const auto report = [&](const cap::Finding& finding, bool refuses) {
            recordFinding(loadFile_, finding, refuses);
        };
        // Debug's size is left in the Directory by whatever strips Debug,
        // --to-cap included, and no card sees Debug: only warned of.
        for (const auto& finding : directoryFindings_)
            report(finding,
                   options_.verify && finding.field != std::string("size of ") + cap::componentTitle(debugTag));
        checkAids();
        try {
            auto package = std::make_shared<cap::Package>(cap::decodePackage(components, loadFile_.capMinor));
            const cap::Verdict verdict = cap::verifyPackage(*package);
            for (const auto& finding : verdict.faults)
                report(finding, options_.verify);
            for (const auto& finding : verdict.warnings)
                report(finding, false);
            loadFile_.structureHolds = verdict.faults.empty();
            loadFile_.package = std::move(package);
        } catch (const cap::FindingError& error) {
            report(error.finding, options_.verify);
        }
        if (!options_.target.empty())
            checkTarget();
    }

    // Cards take these, but a verifier warns of them: an AID of the
    // package's own outside its RID, and an applet named as its package.
    void checkAids()
    {
        const auto rid = [](const std::string& aid) { return aid.substr(0, std::min<std::size_t>(aid.size(), 10)); };
        for (const auto& applet : loadFile_.applets) {
            if (applet == loadFile_.packageAid)
                loadFile_.warnings.push_back("The applet " + applet + " has the package's own AID");
            else if (rid(applet) != rid(loadFile_.packageAid))
                loadFile_.warnings.push_back("The applet " + applet + " has another RID than the package " +
                                             loadFile_.packageAid);
        }
        for (const auto& aid : customAids_)
            if (rid(aid) != rid(loadFile_.packageAid))
                loadFile_.warnings.push_back("The custom component " + aid + " has another RID than the package " +
                                             loadFile_.packageAid);
    }

    void checkTarget()
    {
        for (const auto& package : loadFile_.imports) {
            const auto needed = cap::javaCardReleaseFor(package.aid, package.major, package.minor);
            if (needed && cap::compareReleases(*needed, options_.target) > 0)
                note(package.name.value_or(package.aid) + " " + std::to_string(package.major) + "." +
                     std::to_string(package.minor) + " needs Java Card " + *needed + "; the target is " +
                     options_.target);
        }
    }

    const std::vector<CapEntry>& entries_;
    const LoadFileOptions& options_;
    const std::string& capPath_;
    std::array<Found, lastTag + 1> found_{};
    const CapEntry* customDebug_ = nullptr;
    std::vector<cap::Finding> directoryFindings_;
    std::vector<std::string> customAids_;
    std::uint8_t flags_ = 0;
    LoadFile loadFile_;
};

} // namespace

LoadFile layOutLoadFile(const std::vector<CapEntry>& entries, const LoadFileOptions& options,
                        const std::string& capPath)
{
    return LoadFileMaker(entries, options, capPath).make();
}

std::string refusalText(const Refusal& refusal, const std::string& capPath)
{
    return Error(ErrorKind::NotLoadable, capPath, refusal.detail, refusal.entry).message();
}

Error refusalError(const std::vector<Refusal>& refusals, const std::string& capPath)
{
    Error error(ErrorKind::NotLoadable, capPath, refusals.front().detail, refusals.front().entry);
    for (std::size_t i = 1; i < refusals.size(); ++i)
        error.addLine(refusalText(refusals[i], capPath));
    return error;
}

void recordFinding(LoadFile& file, const cap::Finding& finding, bool refuses)
{
    file.findings.push_back(finding);
    if (refuses)
        file.refusals.push_back({finding.tag < file.entryByTag.size() ? file.entryByTag[finding.tag] : std::string(),
                                 finding.text(), true});
    else
        file.warnings.push_back(std::string(cap::componentEntryName(finding.tag)) + ": " + finding.text());
}

} // namespace tolvane
