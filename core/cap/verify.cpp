#include "core/cap/verify.h"

#include "core/cap/bytecode.h"

#include <algorithm>
#include <map>
#include <set>

namespace tolvane::cap {
namespace {

// A virtual method table's entry for a method this package does not define.
constexpr unsigned noMethod = 0xFFFF;

std::string number(unsigned value)
{
    return std::to_string(value);
}

class Verifier {
public:
    explicit Verifier(const Package& package) : p_(package)
    {
        for (const auto& entry : p_.classEntries)
            entryAt_[entry.offset] = &entry;
        unsigned end = 0;
        for (const auto& cls : p_.classes)
            for (const auto& method : cls.methods)
                if (method.defined()) {
                    methods_.emplace(method.offset, Span{method.bytecodeStart(), method.end(), &method});
                    end = std::max(end, method.end());
                }
        instructionStarts_.assign(end, false);
        for (const auto& [offset, span] : methods_)
            for (const auto& in : span.method->instructions)
                instructionStarts_[in.offset] = true;
    }

    Verdict run()
    {
        constantPool();
        classComponent();
        bytecode();
        handlers();
        descriptor();
        applets();
        exports();
        staticField();
        referenceLocation();
        debug();
        return std::move(verdict_);
    }

private:
    struct Span {
        unsigned start = 0, end = 0; // the bytecode, in Method
        const Method* method = nullptr;
    };

    void fault(std::uint8_t tag, const std::string& field, unsigned offset, const std::string& problem)
    {
        verdict_.faults.push_back({tag, field, offset, problem});
    }

    bool isMethodStart(unsigned offset) const { return methods_.count(offset) != 0; }
    bool isInstructionStart(unsigned offset) const
    {
        return offset < instructionStarts_.size() && instructionStarts_[offset];
    }

    // Checks a class reference; `wanted` is "class", "interface" or "class or interface".
    void classRef(std::uint8_t tag, const char* field, unsigned offset, ClassRef ref, const std::string& wanted)
    {
        if (ref.external()) {
            if (ref.package() >= p_.imports.size())
                fault(tag, field, offset,
                      "package token " + number(ref.package()) + " is past the " + number(p_.imports.size()) +
                          " imported packages");
            return;
        }
        const auto found = entryAt_.find(ref.offset());
        const bool fits = found != entryAt_.end() &&
                          (wanted == "class or interface" || found->second->isInterface == (wanted == "interface"));
        if (!fits)
            fault(tag, field, offset, "offset " + number(ref.offset()) + " in Class is not the start of a " + wanted);
    }

    void staticRef(std::uint8_t tag, const char* field, unsigned offset, StaticRef ref, bool isMethod)
    {
        if (ref.external()) {
            if (ref.package() >= p_.imports.size())
                fault(tag, field, offset,
                      "package token " + number(ref.package()) + " is past the " + number(p_.imports.size()) +
                          " imported packages");
        } else if (ref.first != 0) {
            fault(tag, field, offset, "an internal reference begins with " + number(ref.first) + ", not 0");
        } else if (isMethod && !isMethodStart(ref.offset())) {
            fault(tag, field, offset, "offset " + number(ref.offset()) + " in Method is not the start of a method");
        } else if (!isMethod && ref.offset() >= p_.staticImage.imageSize) {
            fault(tag, field, offset,
                  "offset " + number(ref.offset()) + " is past the static field image of " +
                      number(p_.staticImage.imageSize) + " bytes");
        }
    }

    void constantPool()
    {
        for (std::size_t i = 0; i < p_.pool.size(); ++i) {
            const PoolEntry& e = p_.pool[i];
            const unsigned offset = e.place;
            switch (static_cast<PoolKind>(e.kind)) {
            case PoolKind::ClassRef:
            case PoolKind::InstanceField:
            case PoolKind::VirtualMethod:
            case PoolKind::SuperMethod:
                classRef(constantPoolTag, "class reference", offset, e.classRef, "class or interface");
                break;
            case PoolKind::StaticField:
                staticRef(constantPoolTag, "static field reference", offset, e.staticRef, false);
                break;
            case PoolKind::StaticMethod:
                staticRef(constantPoolTag, "static method reference", offset, e.staticRef, true);
                break;
            default:
                fault(constantPoolTag, "tag", offset,
                      "entry " + number(static_cast<unsigned>(i)) + " has tag " + number(e.kind) +
                          ", not one of 1 to 6");
            }
        }
    }

    void classComponent()
    {
        for (const auto& entry : p_.classEntries) {
            if (entry.superClass)
                classRef(classTag, "super class", entry.superClass->place, *entry.superClass, "class");
            for (const auto ref : entry.superInterfaces)
                classRef(classTag, "superinterface", ref.place, ref, "interface");
            for (const auto ref : entry.implemented)
                classRef(classTag, "implemented interface", ref.place, ref, "interface");
            for (const auto* table : {&entry.publicMethods, &entry.packageMethods})
                for (const auto& method : *table)
                    if (method != noMethod && !isMethodStart(method))
                        fault(classTag, "virtual method table", method.place,
                              "offset " + number(method) + " in Method is not the start of a method");
        }
    }

    void bytecode()
    {
        for (const auto& [offset, span] : methods_) {
            for (const auto& in : span.method->instructions) {
                for (const unsigned target : in.targets)
                    if (target < span.start || target >= span.end || !isInstructionStart(target))
                        fault(methodTag, "branch target", in.offset,
                              std::string(mnemonic(in.opcode)) + " goes to " + number(target) +
                                  ", which is not an instruction of its method (" + number(span.start) + " to " +
                                  number(span.end) + ")");
                if (!in.poolIndex)
                    continue;
                const unsigned index = *in.poolIndex;
                if (index >= p_.pool.size()) {
                    fault(methodTag, "constant pool index", in.poolIndexPlace,
                          std::string(mnemonic(in.opcode)) + " refers to entry " + number(index) + " of " +
                              number(p_.pool.size()));
                    continue;
                }
                const unsigned kind = p_.pool[index].kind;
                if (kind > 6 || (poolKindsTaken(in.opcode) & (1u << kind)) == 0)
                    fault(methodTag, "constant pool index", in.poolIndexPlace,
                          std::string(mnemonic(in.opcode)) + " refers to entry " + number(index) + ", a " +
                              poolKindName(static_cast<std::uint8_t>(kind)) + ", which it does not take");
            }
        }
    }

    // The method whose bytecode holds `offset`.
    const Span* methodHolding(unsigned offset) const
    {
        auto found = methods_.upper_bound(offset);
        if (found == methods_.begin())
            return nullptr;
        --found;
        const Span& span = found->second;
        return offset >= span.start && offset < span.end ? &span : nullptr;
    }

    void handlers()
    {
        for (const auto& h : p_.handlers) {
            const Span* span = methodHolding(h.start);
            const unsigned end = h.start + h.length;
            if (span == nullptr || !isInstructionStart(h.start) || end > span->end ||
                (end != span->end && !isInstructionStart(end))) {
                fault(methodTag, "exception handler range", h.place,
                      "the range " + number(h.start) + " to " + number(end) +
                          " is not a run of whole instructions of one method");
                continue;
            }
            if (h.handlerOffset < span->start || h.handlerOffset >= span->end || !isInstructionStart(h.handlerOffset))
                fault(methodTag, "handler offset", h.handlerOffset.place,
                      "the handler at " + number(h.handlerOffset) + " is not an instruction of the method it guards");
            if (h.catchType != 0 &&
                (h.catchType >= p_.pool.size() || p_.pool[h.catchType].kind != static_cast<int>(PoolKind::ClassRef)))
                fault(methodTag, "catch type index", h.catchType.place,
                      "entry " + number(h.catchType) + " of the constant pool is not a class reference");
        }
    }

    void descriptor()
    {
        if (p_.descriptorPoolCount != p_.pool.size())
            fault(descriptorTag, "constant pool count", p_.descriptorPoolCount.place,
                  "it gives " + number(p_.descriptorPoolCount) + " entries, ConstantPool has " +
                      number(p_.pool.size()));
        std::set<unsigned> described;
        for (const auto& cls : p_.classes) {
            if (cls.thisRef->external()) {
                fault(descriptorTag, "this class reference", cls.thisRef.place,
                      "class token " + number(cls.token) + " refers to a class of another package");
                continue;
            }
            const auto found = entryAt_.find(cls.thisRef->offset());
            if (found == entryAt_.end() || found->second->isInterface != cls.isInterface())
                fault(descriptorTag, "this class reference", cls.thisRef.place,
                      "class token " + number(cls.token) + " refers to offset " + number(cls.thisRef->offset()) +
                          ", which is not the start of " + (cls.isInterface() ? "an interface" : "a class") +
                          " in Class");
            described.insert(cls.thisRef->offset());
        }
        for (const auto& entry : p_.classEntries)
            if (!described.count(entry.offset))
                fault(descriptorTag, "classes", 0,
                      "the " + std::string(entry.isInterface ? "interface" : "class") + " at offset " +
                          number(entry.offset) + " in Class is not described");
    }

    void applets()
    {
        for (const auto& applet : p_.applets)
            if (!isMethodStart(applet.installOffset))
                fault(appletTag, "install method offset", applet.installOffset.place,
                      "offset " + number(applet.installOffset) + " in Method is not the start of a method");
    }

    void exports()
    {
        for (const auto& exported : p_.exports) {
            if (!entryAt_.count(exported.classOffset))
                fault(exportTag, "class offset", exported.classOffset.place,
                      "offset " + number(exported.classOffset) + " in Class is not the start of a class or interface");
            for (const auto& method : exported.staticMethods)
                if (!isMethodStart(method))
                    fault(exportTag, "static method offset", method.place,
                          "offset " + number(method) + " in Method is not the start of a method");
            for (const auto& field : exported.staticFields)
                if (field >= p_.staticImage.imageSize)
                    fault(exportTag, "static field offset", field.place,
                          "offset " + number(field) + " is past the static field image of " +
                              number(p_.staticImage.imageSize) + " bytes");
        }
    }

    void staticField()
    {
        const auto& image = p_.staticImage;
        const auto& d = p_.directory;
        const auto compare = [&](const char* field, const Placed<unsigned>& mine, unsigned directory) {
            if (mine != directory)
                fault(staticFieldTag, field, mine.place,
                      "it gives " + number(mine) + ", the Directory " + number(directory));
        };
        compare("image size", image.imageSize, d.imageSize);
        compare("array init count", image.arrayInitCount, d.arrayInitCount);
        compare("array init size", image.arrayInitBytes, d.arrayInitSize);
    }

    void referenceLocation()
    {
        std::vector<unsigned> oneByte, twoByte;
        for (const auto& [offset, span] : methods_)
            for (const auto& in : span.method->instructions)
                if (in.poolIndex)
                    (in.poolIndexWide ? twoByte : oneByte).push_back(in.poolIndexPlace);
        for (const auto& h : p_.handlers)
            if (h.catchType != 0)
                twoByte.push_back(h.catchType.place);
        std::sort(oneByte.begin(), oneByte.end());
        std::sort(twoByte.begin(), twoByte.end());
        // The first offset where the list and the bytecode part, placed at
        // the list's entry there (or its end, where the list ran out).
        const auto compare = [&](const char* field, const IndexList& listed, const std::vector<unsigned>& found) {
            const auto [a, b] = std::mismatch(listed.offsets.begin(), listed.offsets.end(), found.begin(), found.end(),
                                              [](const Placed<unsigned>& l, unsigned f) { return l.value == f; });
            if (a == listed.offsets.end() && b == found.end())
                return;
            const unsigned place = a == listed.offsets.end() ? listed.end : a->place;
            const std::string problem =
                a == listed.offsets.end() ? "it lists no offset " + number(*b) + ", where the bytecode has an index"
                : b == found.end()        ? "it lists offset " + number(*a) + ", where the bytecode has no index"
                : a->value < *b           ? "it lists offset " + number(*a) + ", where the bytecode has no index"
                                          : "it lists no offset " + number(*b) + ", where the bytecode has an index";
            fault(refLocationTag, field, place, problem);
        };
        compare("offsets to byte indices", p_.byteIndexes, oneByte);
        compare("offsets to byte2 indices", p_.byte2Indexes, twoByte);
    }

    void debug()
    {
        verdict_.warnings = p_.debugFindings;
        for (const auto& cls : p_.debugClasses) {
            if (!entryAt_.count(cls.location))
                verdict_.warnings.push_back({debugTag, "class location", cls.location.place,
                                             "class " + cls.name + " is at offset " + number(cls.location) +
                                                 ", not the start of a class or interface in Class"});
            for (const auto& method : cls.methods)
                if (method.location != 0 && !isMethodStart(method.location))
                    verdict_.warnings.push_back({debugTag, "method location", method.location.place,
                                                 "method " + cls.name + "." + method.name + " is at offset " +
                                                     number(method.location) + ", not the start of a method"});
        }
    }

    const Package& p_;
    std::map<unsigned, const ClassEntry*> entryAt_;
    std::map<unsigned, Span> methods_;    // by the method's offset (its header)
    std::vector<bool> instructionStarts_; // by offset in Method
    Verdict verdict_;
};

} // namespace

Verdict verifyPackage(const Package& package)
{
    return Verifier(package).run();
}

} // namespace tolvane::cap
