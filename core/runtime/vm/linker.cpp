// Linking: the API's packages made from the runtime's table, and each loaded
// package's references resolved once, against what is installed, as a card
// does at load time. Nothing is looked up by name or token while running.

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/java_card.h"
#include "core/runtime/api/api_table.h"
#include "core/runtime/vm/vm.h"

#include <algorithm>
#include <functional>
#include <set>
#include <span>

namespace tolvane::runtime {
namespace {

std::vector<std::string> splitList(const char* text)
{
    std::vector<std::string> items;
    std::string item;
    for (const char* c = text; *c; ++c) {
        if (*c == ',') {
            items.push_back(item);
            item.clear();
        } else {
            item += *c;
        }
    }
    if (!item.empty())
        items.push_back(item);
    return items;
}

Returns returnsOf(const std::string& descriptor)
{
    const auto close = descriptor.find(')');
    const char r = close == std::string::npos || close + 1 >= descriptor.size() ? 'V' : descriptor[close + 1];
    switch (r) {
    case 'V':
        return Returns::Nothing;
    case 'I':
        return Returns::Int;
    case 'L':
    case '[':
        return Returns::Reference;
    default:
        return Returns::Short;
    }
}

// The words a JVM descriptor's parameters take.
unsigned parameterWords(const std::string& descriptor)
{
    unsigned words = 0;
    for (std::size_t i = 1; i < descriptor.size() && descriptor[i] != ')'; ++i) {
        while (descriptor[i] == '[')
            ++i;
        if (descriptor[i] == 'L')
            i = descriptor.find(';', i);
        else if (descriptor[i] == 'I' && descriptor[i - 1] != '[')
            ++words;
        ++words;
        if (i == std::string::npos)
            break;
    }
    return words;
}

// The cells an API class keeps of its own: a reason, for the exceptions
// that carry one; a key pair's two keys.
unsigned hiddenCells(const std::string& name)
{
    if (name == "javacard.security.KeyPair")
        return 2;
    return name == "javacard.framework.CardException" || name == "javacard.framework.CardRuntimeException" ? 1 : 0;
}

std::string aidText(const std::vector<std::uint8_t>& aid)
{
    return hexText(aid, HexCase::Upper);
}

std::vector<std::uint8_t> aidBytes(std::string_view hex)
{
    return bytesFromHex(hex).value_or(std::vector<std::uint8_t>{});
}

} // namespace

void Vm::installApi()
{
    std::map<std::string, Package*> byName;
    for (const auto& row : std::span(apiPackageRows, apiPackageCount)) {
        auto package = std::make_unique<Package>();
        package->name = row.name;
        package->aid = aidBytes(row.aid);
        package->major = row.major;
        package->minor = row.minor;
        package->api = true;
        byName[row.name] = package.get();
        packages_.push_back(std::move(package));
    }
    std::map<std::string, Class*> classes;
    for (const auto& row : std::span(apiClassRows, apiClassCount)) {
        Package& package = *byName.at(row.package);
        auto cls = std::make_unique<Class>();
        cls->package = &package;
        cls->name = std::string(row.package) + "." + row.name;
        cls->isInterface = (row.flags & apiInterface) != 0;
        cls->isShareable = (row.flags & apiShareable) != 0;
        if (package.byToken.size() <= row.token)
            package.byToken.resize(row.token + 1u);
        package.byToken[row.token] = cls.get();
        classes[cls->name] = cls.get();
        package.classes.push_back(std::move(cls));
    }
    for (const auto& row : std::span(apiClassRows, apiClassCount)) {
        Class& cls = *classes.at(std::string(row.package) + "." + row.name);
        const auto supers = splitList(row.superclasses);
        if (!supers.empty())
            cls.super = classes.at(supers.back());
        for (const auto& name : splitList(row.interfaces))
            cls.interfaces.push_back(classes.at(name));
    }
    for (const auto& row : std::span(apiMemberRows, apiMemberCount)) {
        if (row.field)
            continue;
        Class& cls = *classes.at(std::string(row.package) + "." + row.cls);
        auto method = std::make_unique<Method>();
        method->package = cls.package;
        method->owner = &cls;
        method->name = row.name;
        method->descriptor = row.descriptor;
        method->isStatic = (row.flags & apiStatic) != 0 || method->name == "<init>";
        method->nargs = parameterWords(method->descriptor) + (method->isStatic && method->name != "<init>" ? 0 : 1);
        method->returns = returnsOf(method->descriptor);
        method->native = nativeFor(method->fullName());
        auto& table = method->isStatic ? cls.statics : cls.virtuals;
        if (table.size() <= row.token)
            table.resize(row.token + 1u);
        table[row.token] = method.get();
        const_cast<Package*>(cls.package)->methods.push_back(std::move(method));
    }
    // Each class's tables take what its superclasses define and it does not.
    std::set<const Class*> done;
    std::function<void(Class&)> complete = [&](Class& cls) {
        if (!done.insert(&cls).second)
            return;
        if (!cls.super)
            return;
        auto& super = const_cast<Class&>(*cls.super);
        complete(super);
        if (cls.virtuals.size() < super.virtuals.size())
            cls.virtuals.resize(super.virtuals.size());
        for (std::size_t t = 0; t < super.virtuals.size(); ++t)
            if (!cls.virtuals[t])
                cls.virtuals[t] = super.virtuals[t];
        cls.firstCell = super.cells;
        cls.cells = static_cast<std::uint16_t>(super.cells + hiddenCells(cls.name));
    };
    for (auto& [name, cls] : classes) {
        cls->cells = static_cast<std::uint16_t>(hiddenCells(name));
        complete(*cls);
    }
    const auto find = [&](const char* name) { return classes.at(name); };
    api.object = find("java.lang.Object");
    api.throwable = find("java.lang.Throwable");
    api.arrayIndex = find("java.lang.ArrayIndexOutOfBoundsException");
    api.negativeSize = find("java.lang.NegativeArraySizeException");
    api.nullPointer = find("java.lang.NullPointerException");
    api.classCast = find("java.lang.ClassCastException");
    api.arithmetic = find("java.lang.ArithmeticException");
    api.security = find("java.lang.SecurityException");
    api.arrayStore = find("java.lang.ArrayStoreException");
    api.applet = find("javacard.framework.Applet");
    api.apdu = find("javacard.framework.APDU");
    api.aid = find("javacard.framework.AID");
    api.shareable = find("javacard.framework.Shareable");
    api.cardException = find("javacard.framework.CardException");
    api.cardRuntimeException = find("javacard.framework.CardRuntimeException");
    api.isoException = find("javacard.framework.ISOException");
    api.systemException = find("javacard.framework.SystemException");
    api.apduException = find("javacard.framework.APDUException");
    api.transactionException = find("javacard.framework.TransactionException");
    api.pinException = find("javacard.framework.PINException");
    api.ownerPin = find("javacard.framework.OwnerPIN");
    api.cryptoException = find("javacard.security.CryptoException");
    api.messageDigest = find("javacard.security.MessageDigest");
    api.randomData = find("javacard.security.RandomData");
    api.multiSelectable = find("javacard.framework.MultiSelectable");
    api.extendedLength = find("javacardx.apdu.ExtendedLength");
    const auto token = [&](const char* name) {
        for (std::size_t t = 0; t < api.applet->virtuals.size(); ++t)
            if (api.applet->virtuals[t] && api.applet->virtuals[t]->name == name)
                return static_cast<unsigned>(t);
        throw std::logic_error(std::string("the API table has no Applet.") + name);
    };
    api.process = token("process");
    api.select = token("select");
    api.deselect = token("deselect");
    api.shareableObject = token("getShareableInterfaceObject");
    prepareNatives(*this);
}

namespace {

// The name of a package of the platform's that the card may lack, with a
// space after it; nothing for one it does not know.
std::string knownPackageName(const std::vector<std::uint8_t>& aid)
{
    const auto name = cap::wellKnownPackageName(aidText(aid));
    return name ? *name + " " : std::string();
}

// Resolves one loaded package's references; throws Error naming the first
// that does not resolve.
class Linker {
public:
    Linker(Vm& vm, const std::vector<std::unique_ptr<Package>>& installed, const LoadFile& file,
           const std::string& path)
        : vm_(vm), installed_(installed), file_(file), model_(*file.package), path_(path)
    {
    }

    std::unique_ptr<Package> link(std::uint16_t context)
    {
        package_ = std::make_unique<Package>();
        Package& p = *package_;
        p.aid = aidBytes(file_.packageAid);
        p.major = file_.packageMajor;
        p.minor = file_.packageMinor;
        p.context = context;
        p.name = !model_.debugPackageName.empty() ? model_.debugPackageName
                 : !file_.packageName.empty()     ? file_.packageName
                                                  : file_.packageAid;
        for (const auto& other : installed_)
            if (other->aid == p.aid)
                refuse("a package with AID " + file_.packageAid + " (" + other->name + ") is already on the card");
        resolveImports();
        const auto code = content(methodTag);
        p.code.assign(code.begin(), code.end());
        makeMethods();
        makeClasses();
        resolvePool();
        makeHandlers();
        makeStatics();
        makeExports();
        makeDebug();
        for (const auto& applet : model_.applets)
            p.applets.emplace_back(applet.aid, applet.installOffset.value);
        nameWithoutDebug();
        return std::move(package_);
    }

private:
    static constexpr std::uint8_t methodTag = cap::methodTag, staticFieldTag = cap::staticFieldTag;

    [[noreturn]] void refuse(const std::string& detail) const { throw Error(ErrorKind::Simulation, path_, detail); }

    // A component's content, past its tag and size; empty where it is absent.
    std::span<const std::uint8_t> content(std::uint8_t tag) const
    {
        for (const auto& component : file_.components)
            if (component.tag == tag && component.bytes.size() >= 3)
                return std::span(component.bytes).subspan(3);
        return {};
    }

    void resolveImports()
    {
        for (const auto& import : model_.imports) {
            const Package* found = nullptr;
            for (const auto& other : installed_)
                if (other->aid == import.aid)
                    found = other.get();
            const std::string wanted =
                aidText(import.aid) + " " + std::to_string(import.major) + "." + std::to_string(import.minor);
            if (!found)
                refuse("it imports " + knownPackageName(import.aid) + wanted + ", which is not on the card");
            if (found->major != import.major || found->minor < import.minor)
                refuse("it imports " + found->name + " " + wanted.substr(wanted.find(' ') + 1) + ", and the card has " +
                       std::to_string(found->major) + "." + std::to_string(found->minor));
            imports_.push_back(found);
        }
    }

    Method& methodAt(unsigned offset, const char* what)
    {
        Package& p = *package_;
        if (const auto found = p.methodAt.find(offset); found != p.methodAt.end())
            return *found->second;
        // A method that Descriptor does not list: its header tells its
        // frame, and its code runs to the component's end at most.
        if (offset + 2 > p.code.size())
            refuse(std::string(what) + " at offset " + std::to_string(offset) + " is past the end of Method");
        auto method = std::make_unique<Method>();
        method->package = &p;
        method->offset = offset;
        const std::uint8_t first = p.code[offset];
        if (first & 0x80) {
            if (offset + 4 > p.code.size())
                refuse(std::string(what) + " at offset " + std::to_string(offset) + " is past the end of Method");
            method->maxStack = p.code[offset + 1];
            method->nargs = p.code[offset + 2];
            method->maxLocals = p.code[offset + 3];
            method->codeStart = offset + 4;
        } else {
            method->maxStack = first & 0x0F;
            method->nargs = p.code[offset + 1] >> 4;
            method->maxLocals = p.code[offset + 1] & 0x0F;
            method->codeStart = offset + 2;
        }
        method->codeEnd = static_cast<unsigned>(p.code.size());
        method->name = "method@" + std::to_string(offset);
        Method& made = *method;
        p.methodAt[offset] = &made;
        p.methods.push_back(std::move(method));
        return made;
    }

    void makeMethods()
    {
        Package& p = *package_;
        for (const auto& cls : model_.classes)
            for (const auto& described : cls.methods) {
                if (!described.defined())
                    continue;
                auto method = std::make_unique<Method>();
                method->package = &p;
                method->offset = described.offset;
                method->maxStack = described.header.maxStack;
                method->nargs = described.header.nargs;
                method->maxLocals = described.header.maxLocals;
                method->codeStart = described.bytecodeStart();
                method->codeEnd = std::min<unsigned>(described.end(), static_cast<unsigned>(p.code.size()));
                method->isStatic = (described.flags & 0x08) != 0;
                method->name = described.name ? *described.name : "method@" + std::to_string(described.offset.value);
                p.methodAt[method->offset] = method.get();
                p.methods.push_back(std::move(method));
            }
    }

    const Class* classOf(cap::ClassRef ref, const char* what)
    {
        if (ref.external()) {
            if (ref.package() >= imports_.size())
                refuse(std::string(what) + " names imported package " + std::to_string(ref.package()) +
                       ", which Import does not list");
            const Package& other = *imports_[ref.package()];
            if (ref.token() >= other.byToken.size() || !other.byToken[ref.token()])
                refuse(std::string(what) + " names class token " + std::to_string(ref.token()) + " of " + other.name +
                       ", which " + (other.api ? "the card's API" : "that package") + " does not have");
            return other.byToken[ref.token()];
        }
        const auto found = package_->classAt.find(ref.offset());
        if (found == package_->classAt.end())
            refuse(std::string(what) + " names class@" + std::to_string(ref.offset()) + ", which Class does not hold");
        return found->second;
    }

    void makeClasses()
    {
        Package& p = *package_;
        for (const auto& entry : model_.classEntries) {
            auto cls = std::make_unique<Class>();
            cls->package = &p;
            cls->offset = entry.offset;
            cls->isInterface = entry.isInterface;
            cls->isShareable = (entry.flags & 0x4) != 0;
            cls->name = "class@" + std::to_string(entry.offset);
            p.classAt[entry.offset] = cls.get();
            p.classes.push_back(std::move(cls));
        }
        for (const auto& described : model_.classes)
            if (!described.thisRef->external() && described.name)
                if (const auto found = p.classAt.find(described.thisRef->offset()); found != p.classAt.end())
                    found->second->name = *described.name;
        for (const auto& described : model_.classes)
            for (const auto& method : described.methods)
                if (method.defined() && !described.thisRef->external())
                    if (const auto found = p.classAt.find(described.thisRef->offset()); found != p.classAt.end())
                        if (const auto m = p.methodAt.find(method.offset); m != p.methodAt.end())
                            m->second->owner = found->second;
        std::set<const Class*> done, doing;
        std::function<void(const cap::ClassEntry&)> complete = [&](const cap::ClassEntry& entry) {
            Class& cls = *p.classAt.at(entry.offset);
            if (done.count(&cls))
                return;
            if (!doing.insert(&cls).second)
                refuse(cls.name + " extends itself");
            const Class* super = nullptr;
            if (entry.superClass) {
                super = classOf(entry.superClass->value, "a superclass");
                if (super->package == &p)
                    for (const auto& other : model_.classEntries)
                        if (other.offset == super->offset)
                            complete(other);
            } else if (!entry.isInterface) {
                super = vm_.api.object;
            }
            cls.super = entry.isInterface ? nullptr : super;
            for (const auto& ref : entry.superInterfaces)
                cls.interfaces.push_back(classOf(ref.value, "a superinterface"));
            for (std::size_t i = 0; i < entry.implemented.size(); ++i) {
                const Class* iface = classOf(entry.implemented[i].value, "an implemented interface");
                cls.interfaces.push_back(iface);
                cls.maps.push_back({iface, i < entry.implementedIndexes.size() ? entry.implementedIndexes[i]
                                                                               : std::vector<std::uint8_t>{}});
            }
            if (super) {
                cls.virtuals = super->virtuals;
                if (super->package == &p)
                    cls.packageVirtuals = super->packageVirtuals;
                cls.firstCell = super->cells;
            }
            if (cls.firstCell + entry.instanceSize > 0xFFFF)
                refuse(cls.name + " has more fields than an object may hold");
            cls.cells = static_cast<std::uint16_t>(cls.firstCell + entry.instanceSize);
            const auto fill = [&](std::vector<const Method*>& table, unsigned base,
                                  const std::vector<cap::Placed<unsigned>>& offsets) {
                if (table.size() < base + offsets.size())
                    table.resize(base + offsets.size());
                for (std::size_t i = 0; i < offsets.size(); ++i)
                    if (offsets[i].value != 0xFFFF)
                        table[base + i] = &methodAt(offsets[i].value, "a virtual method");
            };
            fill(cls.virtuals, entry.publicBase, entry.publicMethods);
            fill(cls.packageVirtuals, entry.packageBase, entry.packageMethods);
            doing.erase(&cls);
            done.insert(&cls);
        };
        for (const auto& entry : model_.classEntries)
            complete(entry);
    }

    unsigned argumentWords(std::size_t poolIndex) const
    {
        if (poolIndex >= model_.poolTypes.size())
            return 0;
        const auto found = model_.types.find(model_.poolTypes[poolIndex].value);
        if (found == model_.types.end())
            return 0;
        const auto types = cap::describedTypes(found->second);
        unsigned words = 0;
        for (std::size_t i = 0; i + 1 < types.size(); ++i)
            words += types[i].code == 5 ? 2 : 1;
        return words;
    }

    void resolvePool()
    {
        Package& p = *package_;
        for (std::size_t i = 0; i < model_.pool.size(); ++i) {
            const auto& entry = model_.pool[i];
            PoolSlot slot;
            slot.kind = entry.kind;
            const std::string what = "ConstantPool entry " + std::to_string(i);
            switch (static_cast<cap::PoolKind>(entry.kind)) {
            case cap::PoolKind::ClassRef:
                slot.cls = classOf(entry.classRef, what.c_str());
                break;
            case cap::PoolKind::InstanceField: {
                slot.cls = classOf(entry.classRef, what.c_str());
                const unsigned declared = slot.cls->cells - slot.cls->firstCell;
                if (entry.token >= declared)
                    refuse(what + " names field token " + std::to_string(entry.token) + " of " + slot.cls->name +
                           ", which declares " + std::to_string(declared) + " cells");
                slot.cell = static_cast<std::uint16_t>(slot.cls->firstCell + entry.token);
                break;
            }
            case cap::PoolKind::VirtualMethod:
            case cap::PoolKind::SuperMethod: {
                slot.cls = classOf(entry.classRef, what.c_str());
                slot.packageToken = (entry.token & 0x80) != 0;
                slot.token = static_cast<std::uint8_t>(entry.token & 0x7F);
                const auto& table = slot.packageToken ? slot.cls->packageVirtuals : slot.cls->virtuals;
                if (slot.token >= table.size() || !table[slot.token])
                    refuse(what + " names virtual method token " + std::to_string(entry.token) + " of " +
                           slot.cls->name + ", which it does not have");
                const Method* named = table[slot.token];
                slot.argWords = static_cast<std::uint8_t>(1 + (named->native ? named->nargs - 1 : argumentWords(i)));
                if (!named->native && named->nargs && named->nargs != slot.argWords)
                    slot.argWords = static_cast<std::uint8_t>(named->nargs);
                break;
            }
            case cap::PoolKind::StaticField:
                if (entry.staticRef.external()) {
                    const Class& cls =
                        *classOf(cap::ClassRef{static_cast<std::uint16_t>(0x8000 | entry.staticRef.package() << 8 |
                                                                          entry.staticRef.classToken())},
                                 what.c_str());
                    if (entry.staticRef.token() >= cls.staticFieldOffsets.size())
                        refuse(what + " names static field token " + std::to_string(entry.staticRef.token()) + " of " +
                               cls.name + ", which the card does not serve");
                    slot.staticsOf = const_cast<Package*>(cls.package);
                    slot.staticOffset = static_cast<std::uint16_t>(cls.staticFieldOffsets[entry.staticRef.token()]);
                } else {
                    slot.staticsOf = &p;
                    slot.staticOffset = static_cast<std::uint16_t>(entry.staticRef.offset());
                }
                break;
            case cap::PoolKind::StaticMethod:
                if (entry.staticRef.external()) {
                    const Class& cls =
                        *classOf(cap::ClassRef{static_cast<std::uint16_t>(0x8000 | entry.staticRef.package() << 8 |
                                                                          entry.staticRef.classToken())},
                                 what.c_str());
                    const auto& table = cls.package->api ? cls.statics : cls.exportedStatics;
                    if (entry.staticRef.token() >= table.size() || !table[entry.staticRef.token()])
                        refuse(what + " names static method token " + std::to_string(entry.staticRef.token()) + " of " +
                               cls.name + ", which it does not have");
                    slot.method = table[entry.staticRef.token()];
                } else {
                    slot.method = &methodAt(entry.staticRef.offset(), what.c_str());
                }
                break;
            default:
                refuse(what + " is of kind " + std::to_string(entry.kind) + ", which no card knows");
            }
            p.pool.push_back(slot);
        }
    }

    void makeHandlers()
    {
        for (const auto& handler : model_.handlers) {
            HandlerEntry entry;
            entry.start = handler.start;
            entry.end = handler.start + handler.length;
            entry.handler = handler.handlerOffset.value;
            if (handler.catchType.value != 0) {
                if (handler.catchType.value >= package_->pool.size() || !package_->pool[handler.catchType.value].cls)
                    refuse("a handler catches ConstantPool entry " + std::to_string(handler.catchType.value) +
                           ", which is no class");
                entry.catches = package_->pool[handler.catchType.value].cls;
            }
            package_->handlers.push_back(entry);
        }
    }

    // The static field image: references first (the array initialisers'
    // arrays among them), then the default values, then the others.
    void makeStatics()
    {
        Package& p = *package_;
        const auto bytes = content(staticFieldTag);
        if (bytes.empty())
            return;
        std::size_t at = 0;
        const auto u16 = [&]() -> unsigned {
            if (at + 2 > bytes.size())
                refuse("StaticField is cut off at offset " + std::to_string(at));
            const unsigned value = bytes[at] << 8 | bytes[at + 1];
            at += 2;
            return value;
        };
        const unsigned imageSize = u16(), referenceCount = u16(), arrayInits = u16();
        if (referenceCount * 2 > imageSize)
            refuse("StaticField holds more references than its image has room for");
        p.staticBytes.assign(imageSize, 0);
        p.staticRefs.assign(referenceCount, nullRef);
        for (unsigned i = 0; i < arrayInits; ++i) {
            if (at >= bytes.size())
                refuse("StaticField is cut off in its array initialisers");
            const std::uint8_t type = bytes[at++];
            const unsigned count = u16();
            if (at + count > bytes.size())
                refuse("StaticField is cut off in its array initialisers");
            const std::uint8_t* values = bytes.data() + at;
            at += count;
            Ref array = nullRef;
            switch (type) {
            case 2:
            case 3:
                array = vm_.newArray(type == 2 ? ArrayType::Boolean : ArrayType::Byte, count, Memory::Persistent);
                std::copy(values, values + count, vm_.object(array).bytes.begin());
                break;
            case 4:
                array = vm_.newArray(ArrayType::Short, count / 2, Memory::Persistent);
                for (unsigned k = 0; k + 1 < count; k += 2)
                    vm_.object(array).shorts[k / 2] = static_cast<std::int16_t>(values[k] << 8 | values[k + 1]);
                break;
            case 5:
                array = vm_.newArray(ArrayType::Int, count / 4, Memory::Persistent);
                for (unsigned k = 0; k + 3 < count; k += 4)
                    vm_.object(array).ints[k / 4] = static_cast<std::int32_t>(
                        std::uint32_t{values[k]} << 24 | values[k + 1] << 16 | values[k + 2] << 8 | values[k + 3]);
                break;
            default:
                refuse("StaticField has an array initialiser of type " + std::to_string(type));
            }
            if (i < referenceCount)
                p.staticRefs[i] = array;
            vm_.object(array).context = p.context;
        }
        const unsigned defaults = u16(), nonDefaults = u16();
        const std::size_t start = std::size_t{referenceCount} * 2 + defaults;
        if (start + nonDefaults > imageSize || at + nonDefaults > bytes.size())
            refuse("StaticField's values do not fit its image");
        std::copy(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + nonDefaults),
                  p.staticBytes.begin() + static_cast<long>(start));
    }

    void makeExports()
    {
        Package& p = *package_;
        for (const auto& exported : model_.exports) {
            const auto found = p.classAt.find(exported.classOffset.value);
            if (found == p.classAt.end())
                refuse("Export names class@" + std::to_string(exported.classOffset.value) +
                       ", which Class does not hold");
            Class& cls = *found->second;
            for (const auto& field : exported.staticFields)
                cls.staticFieldOffsets.push_back(field.value);
            for (const auto& method : exported.staticMethods)
                cls.exportedStatics.push_back(&methodAt(method.value, "an exported static method"));
            p.byToken.push_back(&cls);
        }
    }

    // Where the CAP file carries no names: a method that implements a method
    // of the API (process, select, an interface's method) takes its name,
    // an applet's install method is "install", and a class is named by the
    // applet it is, else by its package.
    void nameWithoutDebug()
    {
        Package& p = *package_;
        const auto unnamed = [](const std::string& name) { return name.rfind("method@", 0) == 0; };
        for (auto& cls : p.classes) {
            for (const Class* super = cls->super; super; super = super->super)
                if (super->package->api)
                    for (std::size_t token = 0; token < super->virtuals.size() && token < cls->virtuals.size(); ++token)
                        if (const Method* own = cls->virtuals[token];
                            own && own->package == &p && super->virtuals[token] && unnamed(own->name))
                            p.methodAt.at(own->offset)->name = super->virtuals[token]->name;
            for (const auto& map : cls->maps)
                if (map.iface->package->api)
                    for (std::size_t token = 0; token < map.tokens.size() && token < map.iface->virtuals.size(); ++token)
                        if (map.tokens[token] < cls->virtuals.size())
                            if (const Method* own = cls->virtuals[map.tokens[token]];
                                own && own->package == &p && map.iface->virtuals[token] && unnamed(own->name))
                                p.methodAt.at(own->offset)->name = map.iface->virtuals[token]->name;
        }
        for (const auto& [aid, offset] : p.applets)
            if (const auto found = p.methodAt.find(offset); found != p.methodAt.end()) {
                if (unnamed(found->second->name))
                    found->second->name = "install";
                for (auto& cls : p.classes)
                    if (cls.get() == found->second->owner && cls->name.rfind("class@", 0) == 0)
                        cls->name = "applet " + aidText(aid) + " (" + cls->name + ")";
            }
        for (auto& cls : p.classes)
            if (cls->name.rfind("class@", 0) == 0)
                cls->name = p.name + "." + cls->name;
    }

    void makeDebug()
    {
        Package& p = *package_;
        for (const auto& cls : model_.debugClasses) {
            ClassDebug described{cls.name, cls.sourceFile, {}};
            for (const auto& field : cls.fields)
                if (!(field.flags & 0x0008)) // an instance field: its contents are its token
                    described.fields.push_back({field.name, field.descriptor, field.contents});
            p.classDebug[cls.location.value] = std::move(described);
            for (const auto& method : cls.methods) {
                if (method.location.value == 0)
                    continue;
                MethodDebug debug{cls.name, method.name, cls.sourceFile, {}, {}, method.descriptor};
                const unsigned start = method.location.value + method.headerSize;
                for (const auto& line : method.lines)
                    // A line's end is its last byte.
                    debug.lines.push_back({start + line.start, start + line.end + 1, line.line});
                for (const auto& variable : method.variables)
                    debug.variables.push_back({variable.index, variable.name, variable.descriptor,
                                               start + variable.start, start + variable.start + variable.length});
                p.debug[method.location.value] = std::move(debug);
            }
        }
    }

    Vm& vm_;
    const std::vector<std::unique_ptr<Package>>& installed_;
    const LoadFile& file_;
    const cap::Package& model_;
    const std::string& path_;
    std::unique_ptr<Package> package_;
    std::vector<const Package*> imports_;
};

} // namespace

Package& Vm::link(const LoadFile& file, const std::string& path)
{
    if (!file.package)
        throw Error(ErrorKind::Simulation, path, "its components could not be decoded, so nothing can run it");
    auto package = Linker(*this, packages_, file, path).link(nextContext_);
    const std::size_t footprint = package->code.size() + package->staticBytes.size();
    if (footprint > freeMemory(Memory::Persistent))
        throw Error(ErrorKind::Simulation, path,
                    "it needs " + std::to_string(footprint) + " bytes, and the card has " +
                        std::to_string(freeMemory(Memory::Persistent)) + " free");
    used_[0] += footprint;
    ++nextContext_;
    packages_.push_back(std::move(package));
    return *packages_.back();
}

} // namespace tolvane::runtime
