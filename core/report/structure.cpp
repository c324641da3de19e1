#include "core/report/structure.h"

#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/report/dump.h"
#include "core/report/report_sink.h"

#include <algorithm>

namespace tolvane {
namespace {

using namespace cap;
using Kind = StructureRow::Kind;

// Every row's texts are escaped here, once: names and listings come from
// the file, and a row is the tree's line.
StructureRow row(Kind kind, std::string_view label, std::string_view detail = {})
{
    StructureRow made;
    made.kind = kind;
    made.label = withControlsEscaped(label);
    made.detail = withControlsEscaped(detail);
    return made;
}

std::string bytesText(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string versionText(unsigned major, unsigned minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

// The place of a finding in the tree: a method, a class, or else the
// component it names.
struct Place {
    std::optional<std::size_t> classIndex, methodIndex;
};

Place placeOf(const Package& package, const Finding& finding)
{
    if (finding.tag == methodTag) {
        for (std::size_t c = 0; c < package.classes.size(); ++c)
            for (std::size_t m = 0; m < package.classes[c].methods.size(); ++m)
                if (package.classes[c].methods[m].holds(finding.offset))
                    return {c, m};
    }
    if (finding.tag == classTag) {
        // The entry that begins last at or before the finding holds it.
        std::optional<unsigned> entry;
        for (const auto& e : package.classEntries)
            if (e.offset <= finding.offset && (!entry || e.offset > *entry))
                entry = e.offset;
        for (std::size_t c = 0; entry && c < package.classes.size(); ++c) {
            const ClassRef self = package.classes[c].thisRef;
            if (!self.external() && self.offset() == *entry)
                return {c, std::nullopt};
        }
    }
    return {};
}

StructureRow methodRow(const DescribedClass& cls, const Method& method, std::size_t c, std::size_t m)
{
    StructureRow made = row(Kind::Method, method.name ? *method.name : "method token " + std::to_string(method.token));
    if (cls.isInterface() || method.offset == 0) {
        made.detail = "no bytecode";
    } else {
        made.detail = bytesText(method.bytecodeCount) + ", " + std::to_string(method.instructions.size()) +
                      " instructions, stack " + std::to_string(method.header.maxStack) + ", locals " +
                      std::to_string(method.header.maxLocals);
        made.hasListing = !method.instructions.empty();
    }
    made.classIndex = c;
    made.methodIndex = m;
    return made;
}

StructureRow classesRow(const Package& package)
{
    StructureRow classes = row(Kind::Group, "Classes", std::to_string(package.classes.size()));
    for (std::size_t c = 0; c < package.classes.size(); ++c) {
        const DescribedClass& cls = package.classes[c];
        StructureRow made =
            row(Kind::Class, cls.name ? *cls.name : "token " + std::to_string(cls.token),
                std::string(cls.isInterface() ? "interface" : "class") + ", " + std::to_string(cls.methods.size()) +
                    " methods, " + std::to_string(cls.fields.size()) + " fields");
        for (std::size_t m = 0; m < cls.methods.size(); ++m)
            made.children.push_back(methodRow(cls, cls.methods[m], c, m));
        classes.children.push_back(std::move(made));
    }
    return classes;
}

} // namespace

std::vector<StructureRow> structureOf(const LoadFile& file)
{
    std::vector<StructureRow> rows;
    const std::string name = file.packageName.empty() ? file.packageAid : file.packageName;
    rows.push_back(row(Kind::Package, name,
                       "AID " + file.packageAid + ", version " + versionText(file.packageMajor, file.packageMinor) +
                           ", CAP " + versionText(file.capMajor, file.capMinor)));

    StructureRow components =
        row(Kind::Group, "Components", bytesText(file.bytes.size()) + (file.fromComponents ? "" : " to load"));
    for (const auto& component : file.components) {
        StructureRow made = row(Kind::Component, componentTitle(component.tag), bytesText(component.bytes.size()));
        made.share = file.bytes.empty()
                         ? 0.0
                         : static_cast<double>(component.bytes.size()) / static_cast<double>(file.bytes.size());
        components.children.push_back(std::move(made));
    }

    StructureRow imports = row(Kind::Group, "Imports", std::to_string(file.imports.size()));
    for (const auto& imported : file.imports)
        imports.children.push_back(
            row(Kind::Import, imported.name.value_or(imported.aid),
                "AID " + imported.aid + ", version " + versionText(imported.major, imported.minor)));

    StructureRow applets = row(Kind::Group, "Applets", std::to_string(file.applets.size()));
    for (const auto& applet : file.applets)
        applets.children.push_back(row(Kind::Applet, applet));

    StructureRow needs = row(Kind::Group, "Needs");
    needs.children.push_back(row(Kind::Requirement, "Java Card",
                                 file.requiresJavaCard ? *file.requiresJavaCard + " or later" : "any release"));
    if (file.requiresGlobalPlatform)
        needs.children.push_back(row(Kind::Requirement, "GlobalPlatform", *file.requiresGlobalPlatform + " or later"));

    StructureRow classes =
        file.package ? classesRow(*file.package) : row(Kind::Note, "Classes", "not decoded: see what the checks found");

    // Each finding goes on the method or class that holds it; else on its
    // component, or on the package where the load file has no such
    // component (Debug).
    for (const Finding& finding : file.findings) {
        const Place place = file.package ? placeOf(*file.package, finding) : Place{};
        if (place.classIndex) {
            StructureRow& cls = classes.children[*place.classIndex];
            (place.methodIndex ? cls.children[*place.methodIndex] : cls)
                .findings.push_back(withControlsEscaped(finding.text()));
            continue;
        }
        auto it = std::find_if(file.components.begin(), file.components.end(),
                               [&](const LoadComponent& c) { return c.tag == finding.tag; });
        (it == file.components.end() ? rows.front()
                                     : components.children[static_cast<std::size_t>(it - file.components.begin())])
            .findings.push_back(withControlsEscaped(finding.text()));
    }
    // A refusal that no finding places (a Directory count, a Header flag)
    // goes on the component it names, or on the package.
    for (const Refusal& refusal : file.refusals) {
        if (refusal.placed)
            continue;
        auto it = std::find_if(file.components.begin(), file.components.end(), [&](const LoadComponent& c) {
            return !refusal.entry.empty() && c.entry == refusal.entry;
        });
        (it == file.components.end() ? rows.front()
                                     : components.children[static_cast<std::size_t>(it - file.components.begin())])
            .findings.push_back(withControlsEscaped(refusal.detail));
    }

    rows.push_back(std::move(components));
    rows.push_back(std::move(imports));
    rows.push_back(std::move(applets));
    rows.push_back(std::move(needs));
    rows.push_back(std::move(classes));
    if (!file.leftOut.empty()) {
        StructureRow leftOut = row(Kind::Group, "Left out", std::to_string(file.leftOut.size()));
        for (const auto& entry : file.leftOut)
            leftOut.children.push_back(row(Kind::LeftOut, entry.entry, entry.reason));
        rows.push_back(std::move(leftOut));
    }
    return rows;
}

std::vector<StructureRow> listingOf(const LoadFile& file, std::size_t classIndex, std::size_t methodIndex)
{
    std::vector<StructureRow> rows;
    if (!file.package || classIndex >= file.package->classes.size() ||
        methodIndex >= file.package->classes[classIndex].methods.size())
        return rows;
    const Package& package = *file.package;
    const Method& method = package.classes[classIndex].methods[methodIndex];
    for (const Instruction& in : method.instructions)
        rows.push_back(
            row(Kind::Instruction, std::to_string(in.offset) + ": " + instructionText(package, in, file.exportFiles)));
    // A finding belongs to the instruction it lies in: the last that begins
    // at or before it.
    for (const Finding& finding : file.findings) {
        if (finding.tag != methodTag || !method.holds(finding.offset) || rows.empty())
            continue;
        std::size_t at = 0;
        for (std::size_t i = 0; i < method.instructions.size(); ++i)
            if (method.instructions[i].offset <= finding.offset)
                at = i;
        rows[at].findings.push_back(withControlsEscaped(finding.text()));
    }
    return rows;
}

} // namespace tolvane
