// The export file of a package, made from its own CAP file: tokens from the
// Descriptor component, names, types and the class hierarchy from Debug.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/load_file.h"
#include "core/exp/links.h"

#include <algorithm>
#include <set>

namespace tolvane::exp {
namespace {

// Debug writes the JVM's access flags, which export files keep (Access).
// The Descriptor's flag of a static field.
constexpr unsigned capStatic = 0x08;

bool offered(unsigned flags)
{
    return (flags & (accPublic | accProtected)) != 0;
}

std::int32_t constantOf(const cap::DebugField& field)
{
    switch (field.descriptor[0]) {
    case 'B':
    case 'Z':
        return static_cast<std::int8_t>(field.contents);
    case 'S':
        return static_cast<std::int16_t>(field.contents);
    default:
        return static_cast<std::int32_t>(field.contents);
    }
}

class Maker {
public:
    Maker(const cap::Package& package, const std::vector<std::shared_ptr<const ExportFile>>& imported)
        : p_(package), imported_(imported)
    {
    }

    Class classOf(const cap::DescribedClass& described, const cap::DebugClass& debug)
    {
        Class cls;
        cls.token = described.token;
        cls.name = debug.name;
        cls.flags = debug.flags & (accPublic | accFinal | accInterface | accAbstract);
        for (std::string super = debug.superName; !super.empty();) {
            cls.supers.push_back(super);
            if (const cap::DebugClass* own = ownClass(super)) {
                super = own->superName;
            } else {
                if (const Class* known = importedClass(super))
                    cls.supers.insert(cls.supers.end(), known->supers.begin(), known->supers.end());
                else if (super != "java/lang/Object")
                    cls.supers.emplace_back("java/lang/Object");
                break;
            }
        }
        std::set<std::string> seen;
        collectInterfaces(debug, cls.interfaces, seen);
        for (const auto& super : cls.supers)
            if (const cap::DebugClass* own = ownClass(super))
                collectInterfaces(*own, cls.interfaces, seen);
        for (const auto& interface : cls.interfaces) {
            if (interface == "javacard/framework/Shareable")
                cls.flags |= accShareable;
            if (interface == "java/rmi/Remote")
                cls.flags |= accRemote;
        }
        if (cls.isInterface() && cls.name == "javacard/framework/Shareable")
            cls.flags |= accShareable;
        fields(described, debug, cls);
        methods(described, debug, cls);
        return cls;
    }

private:
    const cap::DebugClass* ownClass(const std::string& name) const
    {
        for (const auto& cls : p_.debugClasses)
            if (cls.name == name)
                return &cls;
        return nullptr;
    }

    const Class* importedClass(const std::string& name) const
    {
        for (const auto& file : imported_)
            if (file)
                if (const Class* cls = file->classByName(name))
                    return cls;
        return nullptr;
    }

    void collectInterfaces(const cap::DebugClass& debug, std::vector<std::string>& out, std::set<std::string>& seen)
    {
        for (const auto& interface : debug.interfaces) {
            if (!seen.insert(interface).second)
                continue;
            out.push_back(interface);
            if (const cap::DebugClass* own = ownClass(interface)) {
                collectInterfaces(*own, out, seen);
            } else if (const Class* known = importedClass(interface)) {
                for (const auto& more : known->interfaces)
                    if (seen.insert(more).second)
                        out.push_back(more);
            }
        }
    }

    void fields(const cap::DescribedClass& described, const cap::DebugClass& debug, Class& cls)
    {
        for (const auto& field : debug.fields) {
            if (!offered(field.flags))
                continue;
            Member member{
                0, field.flags & (accPublic | accProtected | accStatic | accFinal), field.name, field.descriptor, {}};
            const bool isStatic = (field.flags & accStatic) != 0;
            // A static final primitive is a compile-time constant: copied
            // into what uses it, and given no token.
            if (isStatic && (field.flags & accFinal) != 0 && field.descriptor.size() == 1 &&
                std::string("ZBSI").find(field.descriptor[0]) != std::string::npos) {
                member.token = 0xFF;
                member.value = constantOf(field);
                cls.fields.push_back(member);
                continue;
            }
            const auto found = std::find_if(described.fields.begin(), described.fields.end(), [&](const cap::Field& f) {
                if (isStatic)
                    return (f.flags & capStatic) != 0 && f.ref.offset() == (field.contents & 0xFFFF);
                return (f.flags & capStatic) == 0 && f.token == (field.contents & 0xFF);
            });
            if (found == described.fields.end())
                continue;
            member.token = found->token;
            cls.fields.push_back(member);
        }
    }

    void methods(const cap::DescribedClass& described, const cap::DebugClass& debug, Class& cls)
    {
        std::set<const cap::Method*> used;
        for (const auto& method : debug.methods) {
            if (!offered(method.flags) || method.name == "<clinit>")
                continue;
            const cap::Method* found = nullptr;
            for (const auto& m : described.methods) {
                if (used.count(&m) != 0)
                    continue;
                // A method with bytecode by its place; an abstract one by its type.
                const bool matches = method.location != 0 ? m.defined() && m.offset == method.location
                                                          : !m.defined() && sameTypeText(m, method.descriptor);
                if (matches) {
                    found = &m;
                    break;
                }
            }
            if (found == nullptr)
                continue;
            used.insert(found);
            cls.methods.push_back({found->token,
                                   method.flags & (accPublic | accProtected | accStatic | accFinal | accAbstract),
                                   method.name,
                                   method.descriptor,
                                   {}});
        }
        // Virtual methods are listed with the inherited ones the class does
        // not override, by the tokens they have there.
        if (cls.isInterface())
            return;
        for (const auto& super : cls.supers) {
            std::vector<Member> inherited;
            if (const cap::DebugClass* own = ownClass(super)) {
                for (const auto& c : p_.classes)
                    if (!c.thisRef->external() && c.thisRef->offset() == own->location) {
                        Class made = classOf(c, *own);
                        inherited = made.methods;
                    }
            } else if (const Class* known = importedClass(super)) {
                inherited = known->methods;
            }
            for (const auto& member : inherited) {
                if (member.isStatic() || member.name == "<init>" || (member.flags & accPublic) == 0)
                    continue;
                const bool overridden = std::any_of(cls.methods.begin(), cls.methods.end(), [&](const Member& m) {
                    return m.name == member.name && m.descriptor == member.descriptor;
                });
                if (!overridden)
                    cls.methods.push_back(member);
            }
            if (ownClass(super) != nullptr)
                break; // that class's list holds what it inherits in turn
        }
    }

    bool sameTypeText(const cap::Method& method, const std::string& descriptor) const
    {
        const auto type = p_.types.find(method.typeOffset);
        if (type == p_.types.end())
            return false;
        return sameType(typeText(p_, imported_, type->second, true), descriptor);
    }

    const cap::Package& p_;
    const std::vector<std::shared_ptr<const ExportFile>>& imported_;
};

} // namespace

ExportFile exportFileOf(const cap::Package& package, const OwnPackage& own, unsigned formatMinor,
                        const std::vector<std::shared_ptr<const ExportFile>>& imported)
{
    if (package.debugClasses.empty())
        throw Error(ErrorKind::NotLoadable, "",
                    "the CAP file has no Debug component, which alone names its classes and members: no export file "
                    "can be made from it (convert the package with debug information)");
    ExportFile file;
    file.formatMinor = formatMinor;
    file.package = {package.debugPackageName, own.aid, own.major, own.minor, package.applets.empty() ? 1u : 0u};
    Maker maker(package, imported);
    for (const auto& described : package.classes) {
        if (described.thisRef->external() || (described.flags & 0x01) == 0)
            continue;
        for (const auto& debug : package.debugClasses)
            if (debug.location == described.thisRef->offset()) {
                file.classes.push_back(maker.classOf(described, debug));
                if (formatMinor >= 3) {
                    unsigned count = 0;
                    for (const auto& m : file.classes.back().methods)
                        count += !m.isStatic() && m.name != "<init>" && (m.flags & accPublic) != 0;
                    file.classes.back().inheritableMethods = count;
                }
            }
    }
    std::sort(file.classes.begin(), file.classes.end(),
              [](const Class& a, const Class& b) { return a.token < b.token; });
    return file;
}

OwnPackage OwnPackage::of(const LoadFile& file)
{
    return {bytesFromHex(file.packageAid).value_or(std::vector<std::uint8_t>{}), file.packageMajor, file.packageMinor};
}

ExportFile exportFileOf(const LoadFile& file)
{
    if (!file.package)
        throw Error(ErrorKind::NotLoadable, "", "the CAP file could not be decoded, so no export file can be made");
    ExportFile made = exportFileOf(*file.package, OwnPackage::of(file), 1, file.exportFiles);
    if (made.package.name.empty())
        made.package.name = file.packageName;
    return made;
}

} // namespace tolvane::exp
