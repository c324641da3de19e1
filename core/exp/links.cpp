#include "core/exp/links.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/java_card.h"

#include <algorithm>

namespace tolvane::exp {
namespace {

using cap::ClassRef;
using cap::Finding;
using cap::PoolKind;

constexpr std::uint8_t invokeinterface = 0x8E;

std::string shortName(const std::string& name)
{
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// An instance field by its token in `cls` or, where a reference names a
// subclass of the class that declares it, in one of its superclasses that
// the same export file holds; `cls` becomes the class that declares it.
const Member* instanceField(const ExportFile& file, const Class*& cls, unsigned token)
{
    if (const Member* field = cls->field(token, false))
        return field;
    for (const auto& super : cls->supers)
        if (const Class* declaring = file.classByName(super))
            if (const Member* field = declaring->field(token, false)) {
                cls = declaring;
                return field;
            }
    return nullptr;
}

class Linker {
public:
    Linker(const cap::Package& package, const ExportPath& path, const OwnPackage& own)
        : p_(package), path_(path), own_(own)
    {
    }

    LinkVerdict run()
    {
        imports();
        ownExportFile();
        for (std::size_t i = 0; i < p_.pool.size(); ++i)
            poolEntry(static_cast<unsigned>(i));
        hierarchy();
        interfaceCalls();
        for (const auto& problem : path_.problems())
            verdict_.notes.push_back(problem);
        return std::move(verdict_);
    }

private:
    void fault(std::uint8_t tag, const std::string& field, unsigned offset, const std::string& problem)
    {
        verdict_.faults.push_back(Finding{tag, field, offset, problem});
    }

    void imports()
    {
        unsigned place = 1; // after the count
        for (std::size_t i = 0; i < p_.imports.size(); ++i) {
            const cap::Import& imported = p_.imports[i];
            const auto lookup = path_.find(imported.aid, imported.major, imported.minor);
            const std::string aid = hexText(imported.aid, HexCase::Upper);
            const std::string name = cap::wellKnownPackageName(aid).value_or(aid) + " " +
                                     std::to_string(imported.major) + "." + std::to_string(imported.minor);
            names_.push_back(lookup.found ? lookup.found->file->package.text() : name);
            verdict_.imported.push_back(lookup.found ? lookup.found->file : nullptr);
            if (lookup.older)
                fault(cap::importTag, "package " + std::to_string(i), place,
                      name + " is imported, and the newest export file found for it is of version " +
                          std::to_string(lookup.older->major) + "." + std::to_string(lookup.older->minor));
            else if (!lookup.found)
                verdict_.notes.push_back(name + ": no export file found, so its references were not checked");
            place += 3 + static_cast<unsigned>(imported.aid.size());
        }
    }

    // The imported class `ref` names, where its package's export file is
    // known; a finding where that file has no such class.
    const Class* importedClass(const ClassRef& ref, std::uint8_t tag, const std::string& field, unsigned offset)
    {
        if (!ref.external() || ref.package() >= verdict_.imported.size() || !verdict_.imported[ref.package()])
            return nullptr;
        const Class* cls = verdict_.imported[ref.package()]->classByToken(ref.token());
        if (cls == nullptr)
            fault(tag, field, offset,
                  names_[ref.package()] + " has no class or interface with token " + std::to_string(ref.token()));
        return cls;
    }

    std::string className(const Class& cls, unsigned token) const
    {
        return "class " + shortName(cls.name) + " (token " + std::to_string(token) + ")";
    }

    void poolEntry(unsigned index)
    {
        const cap::PoolEntry& e = p_.pool[index];
        const std::string field = "entry " + std::to_string(index);
        const auto kind = static_cast<PoolKind>(e.kind);
        const Class* cls = nullptr;
        const Member* member = nullptr;
        unsigned package = 0, classToken = 0;
        const char* what = "";
        if (kind == PoolKind::StaticField || kind == PoolKind::StaticMethod) {
            if (!e.staticRef.external())
                return;
            package = e.staticRef.package();
            classToken = e.staticRef.classToken();
            cls = importedClass(ClassRef{static_cast<std::uint16_t>(0x8000 | package << 8 | classToken)},
                                cap::constantPoolTag, field, e.place);
            if (cls == nullptr)
                return;
            const bool isField = kind == PoolKind::StaticField;
            member = isField ? cls->field(e.staticRef.token(), true) : cls->method(e.staticRef.token(), true);
            what = isField ? "static field" : "static method";
            if (member == nullptr)
                return missing(field, e.place, package, what, e.staticRef.token(), *cls, classToken);
        } else {
            if (!e.classRef.external())
                return;
            package = e.classRef.package();
            classToken = e.classRef.token();
            cls = importedClass(e.classRef, cap::constantPoolTag, field, e.place);
            if (cls == nullptr || kind == PoolKind::ClassRef)
                return;
            const bool isField = kind == PoolKind::InstanceField;
            member = isField ? instanceField(*verdict_.imported[package], cls, e.token) : cls->method(e.token, false);
            what = isField ? "instance field" : "virtual method";
            if (member == nullptr)
                return missing(field, e.place, package, what, e.token, *cls, classToken);
        }
        recordedType(index, *cls, *member,
                     kind == PoolKind::VirtualMethod || kind == PoolKind::SuperMethod ||
                         kind == PoolKind::StaticMethod);
    }

    void missing(const std::string& field, unsigned offset, unsigned package, const char* what, unsigned token,
                 const Class& cls, unsigned classToken)
    {
        fault(cap::constantPoolTag, field, offset,
              names_[package] + " has no " + what + " " + std::to_string(token) + " in " + className(cls, classToken));
    }

    void recordedType(unsigned index, const Class& cls, const Member& member, bool method)
    {
        if (index >= p_.poolTypes.size())
            return;
        const auto found = p_.types.find(p_.poolTypes[index].value);
        if (found == p_.types.end())
            return; // the structural checks say so
        const std::string recorded = typeText(p_, verdict_.imported, found->second, method);
        if (!sameType(recorded, member.descriptor))
            fault(cap::descriptorTag, "type of constant pool entry " + std::to_string(index), p_.poolTypes[index].place,
                  "the type recorded for " + dotted(cls.name) + "." + member.name + " is " + recorded +
                      ", and its export file gives " + member.descriptor);
    }

    // The classes of the package: a superclass that is final or an
    // interface, an interface that is a class.
    void hierarchy()
    {
        for (const auto& entry : p_.classEntries) {
            if (entry.superClass) {
                const Class* super =
                    importedClass(entry.superClass->value, cap::classTag, "superclass", entry.superClass->place);
                if (super != nullptr && (super->isFinal() || super->isInterface()))
                    fault(cap::classTag, "superclass", entry.superClass->place,
                          dotted(super->name) + " is " + (super->isInterface() ? "an interface" : "final") +
                              ", and a class extends it");
            }
            for (const auto* list : {&entry.superInterfaces, &entry.implemented})
                for (const auto& ref : *list) {
                    const Class* interface = importedClass(ref.value, cap::classTag, "interface", ref.place);
                    if (interface != nullptr && !interface->isInterface())
                        fault(cap::classTag, "interface", ref.place,
                              dotted(interface->name) + " is a class, and is used as an interface");
                }
        }
    }

    void interfaceCalls()
    {
        for (const auto& cls : p_.classes)
            for (const auto& method : cls.methods)
                for (const auto& instruction : method.instructions) {
                    if (instruction.opcode != invokeinterface || !instruction.poolIndex ||
                        *instruction.poolIndex >= p_.pool.size())
                        continue;
                    const cap::PoolEntry& e = p_.pool[*instruction.poolIndex];
                    if (static_cast<PoolKind>(e.kind) != PoolKind::ClassRef || !e.classRef.external() ||
                        e.classRef.package() >= verdict_.imported.size() || !verdict_.imported[e.classRef.package()])
                        continue;
                    const Class* target = verdict_.imported[e.classRef.package()]->classByToken(e.classRef.token());
                    if (target != nullptr && !target->isInterface())
                        fault(cap::methodTag, "invokeinterface", instruction.poolIndexPlace,
                              "invokeinterface at " + std::to_string(instruction.offset) + " names " +
                                  dotted(target->name) + ", a class");
                }
    }

    // The package's own export file, where the path holds one of its
    // version: what it offers must be what Export offers.
    void ownExportFile()
    {
        if (own_.aid.empty() || p_.exports.empty())
            return; // no library: nothing is offered
        const auto lookup = path_.find(own_.aid, own_.major, own_.minor);
        if (!lookup.found || lookup.found->file->package.minor != own_.minor)
            return;
        const ExportFile& file = *lookup.found->file;
        const std::string source = lookup.found->source;
        for (const auto& exported : file.classes) {
            const cap::DescribedClass* described = nullptr;
            for (const auto& cls : p_.classes)
                if (!cls.thisRef->external() && cls.token == exported.token)
                    described = &cls;
            const cap::ExportClass* listed = nullptr;
            for (const auto& e : p_.exports)
                if (described != nullptr && e.classOffset == described->thisRef->offset())
                    listed = &e;
            const std::string name = dotted(exported.name);
            if (listed == nullptr) {
                fault(cap::exportTag, "classes", 0,
                      source + " offers " + name + " as class token " + std::to_string(exported.token) +
                          ", which Export does not list");
                continue;
            }
            const auto has = [](const std::vector<cap::Placed<unsigned>>& offsets, unsigned offset) {
                return std::any_of(offsets.begin(), offsets.end(),
                                   [&](const cap::Placed<unsigned>& o) { return o.value == offset; });
            };
            for (const auto& method : exported.methods) {
                if (!method.isStatic() && method.name != "<init>")
                    continue;
                const auto found =
                    std::find_if(described->methods.begin(), described->methods.end(), [&](const cap::Method& m) {
                        return m.token == method.token && (m.flags & 0x88) != 0; // static or a constructor
                    });
                if (found == described->methods.end() || !has(listed->staticMethods, found->offset))
                    fault(cap::exportTag, "static methods", listed->classOffset.place,
                          source + " offers " + name + "." + method.name + method.descriptor + " as static method " +
                              std::to_string(method.token) + ", which Export does not list with that token");
            }
            for (const auto& field : exported.fields) {
                if (!field.isStatic() || field.value)
                    continue;
                const auto found =
                    std::find_if(described->fields.begin(), described->fields.end(),
                                 [&](const cap::Field& f) { return f.token == field.token && (f.flags & 0x08) != 0; });
                if (found == described->fields.end() || !has(listed->staticFields, found->ref.offset()))
                    fault(cap::exportTag, "static fields", listed->classOffset.place,
                          source + " offers " + name + "." + field.name + " as static field " +
                              std::to_string(field.token) + ", which Export does not list with that token");
            }
        }
    }

    const cap::Package& p_;
    const ExportPath& path_;
    const OwnPackage& own_;
    LinkVerdict verdict_;
    std::vector<std::string> names_; // of each import, as findings name it
};

} // namespace

LinkVerdict checkLinks(const cap::Package& package, const ExportPath& path, const OwnPackage& own)
{
    return Linker(package, path, own).run();
}

bool sameType(const std::string& recorded, const std::string& exported)
{
    std::size_t i = 0, j = 0;
    while (i < recorded.size() && j < exported.size()) {
        if (recorded.compare(i, 3, "L?;") == 0 && exported[j] == 'L') {
            const auto end = exported.find(';', j);
            if (end == std::string::npos)
                return false;
            i += 3;
            j = end + 1;
            continue;
        }
        if (recorded[i++] != exported[j++])
            return false;
    }
    return i == recorded.size() && j == exported.size();
}

std::string ExportedName::text() const
{
    if (member.empty())
        return dotted(cls);
    return dotted(cls) + "." + member + (descriptor.front() == '(' ? "" : ":") + descriptor;
}

std::optional<ExportedName> exportedName(const cap::PoolEntry& e,
                                         const std::vector<std::shared_ptr<const ExportFile>>& imported)
{
    const auto kind = static_cast<PoolKind>(e.kind);
    const bool isStatic = kind == PoolKind::StaticField || kind == PoolKind::StaticMethod;
    const bool external = isStatic ? e.staticRef.external() : e.classRef.external();
    const unsigned package = isStatic ? e.staticRef.package() : e.classRef.package();
    if (!external || package >= imported.size() || !imported[package])
        return std::nullopt;
    const Class* cls = imported[package]->classByToken(isStatic ? e.staticRef.classToken() : e.classRef.token());
    if (cls == nullptr)
        return std::nullopt;
    if (kind == PoolKind::ClassRef)
        return ExportedName{cls->name, {}, {}};
    const bool isField = kind == PoolKind::InstanceField || kind == PoolKind::StaticField;
    const unsigned token = isStatic ? e.staticRef.token() : e.token;
    const Member* member = !isField   ? cls->method(token, isStatic)
                           : isStatic ? cls->field(token, true)
                                      : instanceField(*imported[package], cls, token);
    if (member == nullptr)
        return std::nullopt;
    return ExportedName{cls->name, member->name, member->descriptor};
}

std::optional<ExportedName> exportedInterfaceMethod(const cap::PoolEntry& interfaceEntry, unsigned token,
                                                    const std::vector<std::shared_ptr<const ExportFile>>& imported)
{
    if (static_cast<PoolKind>(interfaceEntry.kind) != PoolKind::ClassRef || !interfaceEntry.classRef.external())
        return std::nullopt;
    const unsigned package = interfaceEntry.classRef.package();
    if (package >= imported.size() || !imported[package])
        return std::nullopt;
    const Class* cls = imported[package]->classByToken(interfaceEntry.classRef.token());
    const Member* method = cls != nullptr ? cls->method(token, false) : nullptr;
    if (method == nullptr)
        return std::nullopt;
    return ExportedName{cls->name, method->name, method->descriptor};
}

std::string typeText(const cap::Package& package, const std::vector<std::shared_ptr<const ExportFile>>& imported,
                     const std::vector<std::uint8_t>& nibbles, bool method)
{
    const auto classNamed = [&](const std::optional<ClassRef>& ref) -> std::string {
        if (!ref)
            return "?";
        if (ref->external()) {
            if (ref->package() < imported.size() && imported[ref->package()])
                if (const Class* cls = imported[ref->package()]->classByToken(ref->token()))
                    return cls->name;
            return "?";
        }
        for (const auto& cls : package.debugClasses)
            if (cls.location == ref->offset())
                return cls.name;
        return "?";
    };
    static const char* const primitive[16] = {nullptr, "V",     "Z",  "B",  "S",  "I",  nullptr, nullptr,
                                              nullptr, nullptr, "[Z", "[B", "[S", "[I", nullptr, nullptr};
    std::vector<std::string> types;
    for (const auto& type : cap::describedTypes(nibbles)) {
        if (type.code == 0x6 || type.code == 0xE)
            types.push_back(std::string(type.code == 0xE ? "[" : "") + "L" + classNamed(type.cls) + ";");
        else if (type.code < 16 && primitive[type.code] != nullptr)
            types.emplace_back(primitive[type.code]);
        else
            types.emplace_back("?" + std::to_string(type.code));
    }
    if (!method) {
        std::string text;
        for (const auto& t : types)
            text += t;
        return text;
    }
    std::string text = "(";
    for (std::size_t i = 0; i + 1 < types.size(); ++i)
        text += types[i];
    return text + ")" + (types.empty() ? std::string() : types.back());
}

} // namespace tolvane::exp
