#include "core/runtime/vm/snapshot.h"

#include "core/runtime/vm/vm.h"

#include <algorithm>
#include <map>

namespace tolvane::runtime {

void StateWriter::u16(std::uint16_t value)
{
    u8(static_cast<std::uint8_t>(value >> 8));
    u8(static_cast<std::uint8_t>(value));
}

void StateWriter::u32(std::uint32_t value)
{
    u16(static_cast<std::uint16_t>(value >> 16));
    u16(static_cast<std::uint16_t>(value));
}

void StateWriter::bytes(std::span<const std::uint8_t> value)
{
    u32(static_cast<std::uint32_t>(value.size()));
    out_.insert(out_.end(), value.begin(), value.end());
}

void StateWriter::text(const std::string& value)
{
    bytes({reinterpret_cast<const std::uint8_t*>(value.data()), value.size()});
}

void StateReader::need(std::size_t count) const
{
    if (count > data_.size() - at_)
        throw SnapshotError("the card's state ends early");
}

std::uint8_t StateReader::u8()
{
    need(1);
    return data_[at_++];
}

std::uint16_t StateReader::u16()
{
    const std::uint16_t high = u8();
    return static_cast<std::uint16_t>(high << 8 | u8());
}

std::uint32_t StateReader::u32()
{
    const std::uint32_t high = u16();
    return high << 16 | u16();
}

std::vector<std::uint8_t> StateReader::bytes()
{
    const std::size_t length = u32();
    need(length);
    std::vector<std::uint8_t> out(data_.begin() + static_cast<long>(at_), data_.begin() + static_cast<long>(at_ + length));
    at_ += length;
    return out;
}

std::string StateReader::text()
{
    const auto raw = bytes();
    return std::string(raw.begin(), raw.end());
}

std::size_t StateReader::count(std::size_t eachAtLeast)
{
    const std::size_t value = u32();
    if (value > (data_.size() - at_) / eachAtLeast)
        throw SnapshotError("a count of " + std::to_string(value) + " past the end of the card's state");
    return value;
}

namespace {

std::map<std::string, NativeRestorer>& restorers()
{
    static std::map<std::string, NativeRestorer> table;
    return table;
}

constexpr std::uint16_t noClass = 0xFFFF;
// Transient memory beyond the card's own that a saved state may hold: the
// APDU buffer, at its extended size after an extended command.
constexpr std::size_t transientSlack = 0x8000 + 64;

} // namespace

void registerNativeKind(const std::string& kind, NativeRestorer restorer)
{
    restorers()[kind] = restorer;
}

std::unique_ptr<NativeState> restoreNative(const std::string& kind, StateReader& in)
{
    const auto found = restorers().find(kind);
    if (found == restorers().end())
        throw SnapshotError("an object of the API of a kind this card does not know: " + kind);
    try {
        return found->second(in);
    } catch (const SnapshotError&) {
        throw;
    } catch (const std::exception& error) {
        // A restorer that builds its state through the API's own checks
        // (a key's length, an algorithm) refuses bytes no card saved.
        throw SnapshotError("an object of the API (" + kind + ") whose state does not fit: " + error.what());
    }
}

// Every reference the state holds names an object the card has, so that
// nothing reached later through the heap finds a free handle.
void Vm::checkReferences() const
{
    const auto check = [&](Ref ref) {
        if (ref != nullRef && !live(ref))
            throw SnapshotError("a reference to handle " + std::to_string(ref) + ", which holds no object");
    };
    for (const auto& package : packages_)
        for (const Ref ref : package->staticRefs)
            check(ref);
    for (const auto& object : heap_) {
        if (!object)
            continue;
        for (const Ref ref : object->refs)
            check(ref);
        for (const Word& cell : object->cells)
            if (cell.kind == Kind::Reference)
                check(static_cast<Ref>(cell.value));
    }
    for (const auto& [name, ref] : platformObjects)
        check(ref);
}

void Vm::saveMemory(StateWriter& out) const
{
    // Classes by their package's place and their own in it: the packages are
    // linked again in the same order, so these name the same classes.
    std::map<const Class*, std::pair<std::uint16_t, std::uint16_t>> classIds;
    for (std::size_t p = 0; p < packages_.size(); ++p)
        for (std::size_t c = 0; c < packages_[p]->classes.size(); ++c)
            classIds[packages_[p]->classes[c].get()] = {static_cast<std::uint16_t>(p), static_cast<std::uint16_t>(c)};
    const auto writeClass = [&](const Class* cls) {
        const auto id = cls ? classIds.at(cls) : std::pair<std::uint16_t, std::uint16_t>{noClass, noClass};
        out.u16(id.first);
        out.u16(id.second);
    };
    const auto packageIndex = [&](const Package* package) {
        for (std::size_t p = 0; p < packages_.size(); ++p)
            if (packages_[p].get() == package)
                return static_cast<std::uint16_t>(p);
        throw std::logic_error("an instance of a package no longer linked");
    };

    out.u16(nextContext_);
    out.u32(static_cast<std::uint32_t>(packages_.size()));
    for (const auto& package : packages_) {
        out.u16(package->context);
        out.bytes(package->staticBytes);
        out.u32(static_cast<std::uint32_t>(package->staticRefs.size()));
        for (const Ref ref : package->staticRefs)
            out.u16(ref);
    }
    out.u32(static_cast<std::uint32_t>(heap_.size()));
    for (std::size_t ref = 1; ref < heap_.size(); ++ref) {
        const Object* object = heap_[ref].get();
        out.u8(object ? 1 : 0);
        if (!object)
            continue;
        const bool transient = object->memory != Memory::Persistent;
        writeClass(object->cls);
        out.u8(static_cast<std::uint8_t>(object->array));
        out.u8(static_cast<std::uint8_t>(object->memory));
        out.u16(object->context);
        out.u8(static_cast<std::uint8_t>((object->global ? 1 : 0) | (object->entryPoint ? 2 : 0) |
                                         (object->temporary ? 4 : 0)));
        // A transient array's contents are gone with the power; its length stays.
        out.u32(static_cast<std::uint32_t>(object->bytes.size()));
        if (!transient)
            out.bytes(object->bytes);
        out.u32(static_cast<std::uint32_t>(object->shorts.size()));
        if (!transient)
            for (const auto value : object->shorts)
                out.u16(static_cast<std::uint16_t>(value));
        out.u32(static_cast<std::uint32_t>(object->ints.size()));
        if (!transient)
            for (const auto value : object->ints)
                out.u32(static_cast<std::uint32_t>(value));
        out.u32(static_cast<std::uint32_t>(object->refs.size()));
        if (!transient)
            for (const Ref value : object->refs)
                out.u16(value);
        out.u32(static_cast<std::uint32_t>(object->cells.size()));
        for (const Word& cell : object->cells) {
            out.u16(static_cast<std::uint16_t>(cell.value));
            out.u8(static_cast<std::uint8_t>(cell.kind));
        }
        const char* kind = object->native ? object->native->stateKind() : nullptr;
        if (object->native && !kind)
            throw std::logic_error("an API object whose state the card file cannot keep");
        out.text(kind ? kind : "");
        StateWriter native;
        if (kind)
            object->native->save(native);
        out.bytes(native.data());
    }
    out.u32(static_cast<std::uint32_t>(instances.size()));
    for (const auto& instance : instances) {
        out.bytes(instance.aid);
        out.u16(instance.applet);
        out.u16(packageIndex(instance.package));
        out.u16(instance.aidObject);
    }
    // In the classes' order, not their addresses', so that the same card
    // always gives the same bytes.
    std::vector<std::pair<std::pair<std::uint16_t, std::uint16_t>, Ref>> exceptions;
    for (const auto& [cls, ref] : exceptionInstances_)
        exceptions.emplace_back(classIds.at(cls), ref);
    std::sort(exceptions.begin(), exceptions.end());
    out.u32(static_cast<std::uint32_t>(exceptions.size()));
    for (const auto& [id, ref] : exceptions) {
        out.u16(id.first);
        out.u16(id.second);
        out.u16(ref);
    }
    out.u32(static_cast<std::uint32_t>(platformObjects.size()));
    for (const auto& [name, ref] : platformObjects) {
        out.text(name);
        out.u16(ref);
    }
    out.u16(apduObject);
    out.u16(apduBuffer);
}

void Vm::restoreMemory(StateReader& in)
{
    const auto readClass = [&]() -> const Class* {
        const std::uint16_t p = in.u16(), c = in.u16();
        if (p == noClass && c == noClass)
            return nullptr;
        if (p >= packages_.size() || c >= packages_[p]->classes.size())
            throw SnapshotError("an object of a class the card's packages do not have");
        return packages_[p]->classes[c].get();
    };
    std::size_t heapSize = 0;
    const auto readRef = [&] {
        const Ref ref = in.u16();
        if (ref >= heapSize && ref != nullRef)
            throw SnapshotError("a reference past the card's heap");
        return ref;
    };

    nextContext_ = in.u16();
    if (in.count(6) != packages_.size())
        throw SnapshotError("the card's state is for another set of packages");
    std::vector<std::vector<Ref>> staticRefs;
    for (auto& package : packages_) {
        package->context = in.u16();
        // The packages were linked again just now: their images have the
        // sizes their code reads them at.
        const std::size_t imageSize = package->staticBytes.size(), referenceCount = package->staticRefs.size();
        package->staticBytes = in.bytes();
        std::vector<Ref> refs(in.count(2));
        if (package->staticBytes.size() != imageSize || refs.size() != referenceCount)
            throw SnapshotError("static fields of a size their package does not have");
        for (auto& ref : refs)
            ref = in.u16();
        staticRefs.push_back(std::move(refs));
    }
    heapSize = in.u32();
    if (heapSize == 0 || heapSize > handleCount)
        throw SnapshotError("a heap of " + std::to_string(heapSize) + " handles");
    heap_.clear();
    heap_.resize(heapSize);
    freeRefs_.clear();
    used_[0] = used_[1] = used_[2] = 0;
    std::size_t transientTaken = 0; // by the transient arrays' contents, as they are read
    for (std::size_t ref = 1; ref < heapSize; ++ref) {
        if (!in.u8()) {
            freeRefs_.push_back(static_cast<Ref>(ref));
            continue;
        }
        auto object = std::make_unique<Object>();
        object->cls = readClass();
        object->array = static_cast<ArrayType>(in.u8());
        object->memory = static_cast<Memory>(in.u8());
        if (object->array > ArrayType::Reference || object->memory > Memory::ClearOnDeselect)
            throw SnapshotError("an object of no kind the card has");
        object->context = in.u16();
        const std::uint8_t flags = in.u8();
        object->global = (flags & 1) != 0;
        object->entryPoint = (flags & 2) != 0;
        object->temporary = (flags & 4) != 0;
        const bool transient = object->memory != Memory::Persistent;
        // A transient array's length is all the file holds of it: its
        // memory is counted against the card's before it is taken, so that
        // a file of a few bytes cannot ask for gigabytes.
        const auto takeTransient = [&](std::size_t count, std::size_t width) {
            if (count > 0x8000)
                throw SnapshotError("an array longer than an array may be");
            transientTaken += count * width;
            if (transientTaken > settings.transientBytes + transientSlack)
                throw SnapshotError("transient arrays of more than the card's " +
                                    std::to_string(settings.transientBytes) + " bytes of transient memory");
        };
        const std::size_t byteCount = in.u32();
        if (transient) {
            takeTransient(byteCount, 1);
            object->bytes.assign(byteCount, 0);
        } else {
            object->bytes = in.bytes();
            if (object->bytes.size() != byteCount)
                throw SnapshotError("an array whose length and contents disagree");
        }
        const auto readArray = [&](auto& values, unsigned width, auto read) {
            const std::size_t count = transient ? in.u32() : in.count(width);
            if (transient)
                takeTransient(count, width);
            else if (count > 0x8000)
                throw SnapshotError("an array longer than an array may be");
            values.assign(count, 0);
            if (!transient)
                for (auto& value : values)
                    value = read();
        };
        readArray(object->shorts, 2, [&] { return static_cast<std::int16_t>(in.u16()); });
        readArray(object->ints, 4, [&] { return static_cast<std::int32_t>(in.u32()); });
        readArray(object->refs, 2, [&] { return readRef(); });
        object->cells.resize(in.count(3));
        for (Word& cell : object->cells) {
            cell.value = static_cast<std::int16_t>(in.u16());
            cell.kind = static_cast<Kind>(in.u8());
            if (cell.kind > Kind::ReturnAddress)
                throw SnapshotError("a field of no kind the card has");
            if (cell.kind == Kind::Reference && static_cast<Ref>(cell.value) >= heapSize)
                throw SnapshotError("a reference past the card's heap");
        }
        if (object->array == ArrayType::None
                ? !object->cls || object->cells.size() != object->cls->cells || !object->bytes.empty() ||
                      !object->shorts.empty() || !object->ints.empty() || !object->refs.empty()
                : !object->cells.empty())
            throw SnapshotError("an object whose fields are not its class's");
        const std::string kind = in.text();
        const auto native = in.bytes();
        if (!kind.empty()) {
            StateReader nativeIn(native);
            object->native = restoreNative(kind, nativeIn);
        }
        used_[transient ? 1 : 0] += object->footprint();
        heap_[ref] = std::move(object);
    }
    for (std::size_t p = 0; p < packages_.size(); ++p) {
        for (const Ref ref : staticRefs[p])
            if (ref >= heapSize)
                throw SnapshotError("a static field referring past the card's heap");
        packages_[p]->staticRefs = std::move(staticRefs[p]);
    }
    instances.clear();
    for (std::size_t i = in.count(8); i > 0; --i) {
        Instance instance;
        instance.aid = in.bytes();
        instance.applet = readRef();
        const std::uint16_t package = in.u16();
        if (package >= packages_.size() || !live(instance.applet))
            throw SnapshotError("an applet instance of nothing on the card");
        instance.package = packages_[package].get();
        instance.aidObject = readRef();
        if (heap_[instance.applet]->array != ArrayType::None || !live(instance.aidObject))
            throw SnapshotError("an applet instance that is no object of a class, or without its AID");
        instances.push_back(std::move(instance));
    }
    exceptionInstances_.clear();
    for (std::size_t i = in.count(6); i > 0; --i) {
        const Class* cls = readClass();
        const Ref ref = readRef();
        if (!cls || !live(ref) || heap_[ref]->cls != cls || heap_[ref]->array != ArrayType::None)
            throw SnapshotError("a runtime exception object that is not of its class");
        exceptionInstances_[cls] = ref;
    }
    platformObjects.clear();
    for (std::size_t i = in.count(6); i > 0; --i) {
        std::string name = in.text();
        platformObjects[name] = readRef();
    }
    apduObject = readRef();
    apduBuffer = readRef();
    if (!live(apduObject) || !live(apduBuffer))
        throw SnapshotError("the card's state lacks its APDU");
    checkReferences();
    throws_.clear();
    journal_.clear();
    nativeJournal_.clear();
    journalBytes_ = 0;
    transaction_ = false;
}

} // namespace tolvane::runtime
