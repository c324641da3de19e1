// The card's memory: objects and arrays by handle, persistent or transient,
// the transaction's journal of persistent writes, and the exceptions the
// runtime throws with what they were thrown for.

#include "core/runtime/vm/vm.h"

#include <algorithm>
#include <stdexcept>

namespace tolvane::runtime {
namespace {

constexpr std::size_t objectHeader = 8; // what a card spends on each object beside its contents

} // namespace

std::size_t Object::length() const
{
    switch (array) {
    case ArrayType::Boolean:
    case ArrayType::Byte:
        return bytes.size();
    case ArrayType::Short:
        return shorts.size();
    case ArrayType::Int:
        return ints.size();
    case ArrayType::Reference:
        return refs.size();
    case ArrayType::None:
        break;
    }
    return 0;
}

std::size_t Object::footprint() const
{
    return objectHeader + bytes.size() + shorts.size() * 2 + ints.size() * 4 + refs.size() * 2 + cells.size() * 2;
}

Vm::Vm(const CardSettings& given) : settings(given)
{
    heap_.emplace_back(); // handle 0 is null
    stack_.resize(std::size_t{settings.maxDepth} * 64 + 256);
    // The interpreter holds a pointer to the running frame; with room for
    // every frame a command may stack, no push moves the frames.
    frames_.reserve(std::size_t{settings.maxDepth} + 1);
    installApi();
}

Ref Vm::allocate(std::unique_ptr<Object> object)
{
    const std::size_t size = object->footprint();
    const Memory memory = object->memory;
    if (size > freeMemory(memory)) {
        if (memory == Memory::Persistent)
            throwNew(api.systemException, 5,
                     "new of " + std::to_string(size) + " bytes, with " + std::to_string(freeMemory(memory)) +
                         " bytes of persistent memory free");
        throwNew(api.systemException, 2,
                 "a transient array of " + std::to_string(size) + " bytes, with " + std::to_string(freeMemory(memory)) +
                     " bytes of transient memory free");
    }
    // The last handles stay for the runtime's own exception objects, so that
    // running out of handles can still be thrown.
    if (freeRefs_.empty() && heap_.size() >= handleCount - reservedHandles)
        throwNew(api.systemException, 5,
                 "more objects than the card's " + std::to_string(handleCount - reservedHandles) +
                     " handles can name");
    // Transient arrays of both kinds share the card's RAM.
    used_[memory == Memory::Persistent ? 0 : 1] += size;
    object->context = currentContext();
    return place(std::move(object));
}

Ref Vm::place(std::unique_ptr<Object> object)
{
    if (!freeRefs_.empty()) {
        const Ref ref = freeRefs_.back();
        freeRefs_.pop_back();
        heap_[ref] = std::move(object);
        return ref;
    }
    const auto ref = static_cast<Ref>(heap_.size());
    heap_.push_back(std::move(object));
    return ref;
}

Ref Vm::newArray(ArrayType type, std::size_t length, Memory memory, const Class* element)
{
    auto array = std::make_unique<Object>();
    array->array = type;
    array->memory = memory;
    array->cls = element;
    const std::size_t wanted = length * (type == ArrayType::Int                                     ? 4
                                         : type == ArrayType::Short || type == ArrayType::Reference ? 2
                                                                                                    : 1);
    if (wanted > freeMemory(memory))
        throwNew(api.systemException, memory == Memory::Persistent ? 5 : 2,
                 "an array of " + std::to_string(length) + " elements, with " + std::to_string(freeMemory(memory)) +
                     " bytes of " + (memory == Memory::Persistent ? "persistent" : "transient") + " memory free");
    switch (type) {
    case ArrayType::Boolean:
    case ArrayType::Byte:
        array->bytes.assign(length, 0);
        break;
    case ArrayType::Short:
        array->shorts.assign(length, 0);
        break;
    case ArrayType::Int:
        array->ints.assign(length, 0);
        break;
    case ArrayType::Reference:
        array->refs.assign(length, nullRef);
        break;
    case ArrayType::None:
        break;
    }
    return allocate(std::move(array));
}

Ref Vm::newInstance(const Class* cls)
{
    auto instance = std::make_unique<Object>();
    instance->cls = cls;
    instance->cells.assign(cls->cells, Word{});
    return allocate(std::move(instance));
}

Object& Vm::object(Ref ref)
{
    if (!live(ref))
        fault("a reference to no object (" + std::to_string(ref) + ")");
    return *heap_[ref];
}

std::size_t Vm::freeMemory(Memory memory) const
{
    const std::size_t limit = memory == Memory::Persistent ? settings.persistentBytes : settings.transientBytes;
    const std::size_t used = used_[memory == Memory::Persistent ? 0 : 1];
    return used >= limit ? 0 : limit - used;
}

void Vm::clearTransient(Memory memory, std::optional<std::uint16_t> context)
{
    for (auto& object : heap_)
        if (object && object->memory == memory && (!context || object->context == *context)) {
            std::fill(object->bytes.begin(), object->bytes.end(), 0);
            std::fill(object->shorts.begin(), object->shorts.end(), 0);
            std::fill(object->ints.begin(), object->ints.end(), 0);
            std::fill(object->refs.begin(), object->refs.end(), nullRef);
        }
    // API objects (transient keys) clear what they keep of that kind.
    for (auto& object : heap_)
        if (object && object->native && (!context || object->context == *context))
            object->native->cleared(memory);
}

const Class* Vm::apiClass(const std::string& name) const
{
    for (const auto& package : packages_)
        if (package->api && name.rfind(package->name + ".", 0) == 0)
            for (const auto& cls : package->classes)
                if (cls->name == name)
                    return cls.get();
    throw std::logic_error("the API table has no class " + name);
}

void Vm::resetNatives()
{
    for (auto& object : heap_)
        if (object && object->native)
            object->native->reset();
}

void Vm::mark(Ref ref)
{
    std::vector<Ref> pending{ref};
    while (!pending.empty()) {
        const Ref at = pending.back();
        pending.pop_back();
        if (!live(at) || heap_[at]->marked)
            continue;
        Object& object = *heap_[at];
        object.marked = true;
        for (const Ref inner : object.refs)
            pending.push_back(inner);
        for (const Word& cell : object.cells)
            if (cell.kind == Kind::Reference)
                pending.push_back(static_cast<Ref>(cell.value));
    }
}

// Object deletion, as JCSystem.requestObjectDeletion asks: what no static
// field, applet, runtime object or running frame reaches is freed.
void Vm::markRoots(const Package* without, std::span<const std::vector<std::uint8_t>> going)
{
    for (auto& object : heap_)
        if (object)
            object->marked = false;
    for (const auto& package : packages_)
        if (package.get() != without)
            for (const Ref ref : package->staticRefs)
                mark(ref);
    for (const auto& instance : instances) {
        if (std::find(going.begin(), going.end(), instance.aid) != going.end())
            continue;
        mark(instance.applet);
        mark(instance.aidObject);
    }
    for (const auto& [cls, ref] : exceptionInstances_)
        mark(ref);
    for (const auto& [name, ref] : platformObjects)
        mark(ref);
    mark(apduObject);
    mark(apduBuffer);
    for (const auto& frame : frames_)
        for (std::uint32_t i = frame.locals; i < frame.sp; ++i)
            if (stack_[i].kind == Kind::Reference)
                mark(static_cast<Ref>(stack_[i].value));
}

void Vm::sweep()
{
    for (std::size_t ref = 1; ref < heap_.size(); ++ref)
        if (heap_[ref] && !heap_[ref]->marked) {
            throws_.erase(static_cast<Ref>(ref));
            used_[heap_[ref]->memory == Memory::Persistent ? 0 : 1] -= heap_[ref]->footprint();
            heap_[ref].reset();
            freeRefs_.push_back(static_cast<Ref>(ref));
        }
}

void Vm::collectGarbage()
{
    markRoots(nullptr);
    sweep();
}

bool Vm::packageRemovable(const Package* package, std::span<const std::vector<std::uint8_t>> going)
{
    markRoots(package, going);
    for (const auto& object : heap_)
        if (object && object->marked && object->cls && object->cls->package == package)
            return false;
    return true;
}

bool Vm::removePackage(const Package* package)
{
    // Whatever the package's statics alone kept goes with it; an object of
    // its classes that something else still reaches keeps it on the card.
    markRoots(package);
    for (const auto& object : heap_)
        if (object && object->marked && object->cls && object->cls->package == package)
            return false;
    sweep();
    std::erase_if(breakpoints_, [&](const auto& entry) { return entry.first.first == package; });
    if (rearm_ && rearm_->first == package)
        rearm_.reset();
    const auto at = std::find_if(packages_.begin(), packages_.end(),
                                 [&](const std::unique_ptr<Package>& p) { return p.get() == package; });
    if (at != packages_.end())
        packages_.erase(at);
    return true;
}

void Vm::reserveJournal(std::size_t bytes)
{
    if (journalBytes_ + bytes > commitCapacity)
        throwNew(api.transactionException, 3,
                 "the transaction's writes passed the commit capacity of " + std::to_string(commitCapacity) + " bytes");
    journalBytes_ += bytes;
}

void Vm::journal(JournalEntry entry, std::size_t bytes)
{
    reserveJournal(bytes);
    journal_.push_back(entry);
}

void Vm::journalNative(std::function<void()> undo, std::size_t bytes)
{
    reserveJournal(bytes);
    nativeJournal_.push_back(std::move(undo));
}

void Vm::setByte(Ref ref, std::size_t index, std::uint8_t value)
{
    Object& array = object(ref);
    if (transaction_ && array.memory == Memory::Persistent)
        journal({JournalEntry::Where::Bytes, ref, nullptr, static_cast<std::uint32_t>(index), array.bytes[index], {}},
                1);
    array.bytes[index] = value;
}

void Vm::setShort(Ref ref, std::size_t index, std::int16_t value)
{
    Object& array = object(ref);
    if (transaction_ && array.memory == Memory::Persistent)
        journal({JournalEntry::Where::Shorts, ref, nullptr, static_cast<std::uint32_t>(index), array.shorts[index], {}},
                2);
    array.shorts[index] = value;
}

void Vm::setInt(Ref ref, std::size_t index, std::int32_t value)
{
    Object& array = object(ref);
    if (transaction_ && array.memory == Memory::Persistent)
        journal({JournalEntry::Where::Ints, ref, nullptr, static_cast<std::uint32_t>(index), array.ints[index], {}}, 4);
    array.ints[index] = value;
}

void Vm::setRef(Ref ref, std::size_t index, Ref value)
{
    Object& array = object(ref);
    if (transaction_ && array.memory == Memory::Persistent)
        journal({JournalEntry::Where::Refs, ref, nullptr, static_cast<std::uint32_t>(index), array.refs[index], {}}, 2);
    array.refs[index] = value;
}

void Vm::setCell(Ref ref, std::size_t index, Word value)
{
    Object& instance = object(ref);
    if (transaction_ && instance.memory == Memory::Persistent)
        journal({JournalEntry::Where::Cells, ref, nullptr, static_cast<std::uint32_t>(index),
                 instance.cells[index].value, instance.cells[index].kind},
                2);
    instance.cells[index] = value;
}

void Vm::setStaticByte(Package& package, std::size_t index, std::uint8_t value)
{
    if (transaction_)
        journal({JournalEntry::Where::StaticBytes,
                 nullRef,
                 &package,
                 static_cast<std::uint32_t>(index),
                 package.staticBytes[index],
                 {}},
                1);
    package.staticBytes[index] = value;
}

void Vm::setStaticRef(Package& package, std::size_t index, Ref value)
{
    if (transaction_)
        journal({JournalEntry::Where::StaticRefs,
                 nullRef,
                 &package,
                 static_cast<std::uint32_t>(index),
                 package.staticRefs[index],
                 {}},
                2);
    package.staticRefs[index] = value;
}

void Vm::beginTransaction()
{
    if (transaction_)
        throwNew(api.transactionException, 1, "beginTransaction with a transaction already open");
    transaction_ = true;
}

void Vm::commitTransaction()
{
    if (!transaction_)
        throwNew(api.transactionException, 2, "commitTransaction with no transaction open");
    transaction_ = false;
    journal_.clear();
    nativeJournal_.clear();
    journalBytes_ = 0;
}

void Vm::abortTransaction()
{
    if (!transaction_)
        throwNew(api.transactionException, 2, "abortTransaction with no transaction open");
    // Undone newest first, so that a place written twice gets its first value.
    for (auto entry = journal_.rbegin(); entry != journal_.rend(); ++entry) {
        using Where = JournalEntry::Where;
        if (entry->where == Where::StaticBytes) {
            entry->package->staticBytes[entry->index] = static_cast<std::uint8_t>(entry->old);
            continue;
        }
        if (entry->where == Where::StaticRefs) {
            entry->package->staticRefs[entry->index] = static_cast<Ref>(entry->old);
            continue;
        }
        if (!live(entry->object))
            continue;
        Object& target = *heap_[entry->object];
        switch (entry->where) {
        case Where::Bytes:
            target.bytes[entry->index] = static_cast<std::uint8_t>(entry->old);
            break;
        case Where::Shorts:
            target.shorts[entry->index] = static_cast<std::int16_t>(entry->old);
            break;
        case Where::Ints:
            target.ints[entry->index] = entry->old;
            break;
        case Where::Refs:
            target.refs[entry->index] = static_cast<Ref>(entry->old);
            break;
        case Where::Cells:
            target.cells[entry->index] = {static_cast<std::int16_t>(entry->old), entry->oldKind};
            break;
        default:
            break;
        }
    }
    for (auto undo = nativeJournal_.rbegin(); undo != nativeJournal_.rend(); ++undo)
        (*undo)();
    transaction_ = false;
    journal_.clear();
    nativeJournal_.clear();
    journalBytes_ = 0;
}

Ref Vm::exceptionInstance(const Class* cls)
{
    if (const auto found = exceptionInstances_.find(cls); found != exceptionInstances_.end() && live(found->second))
        return found->second;
    // The runtime's own instances: made in its context, outside any budget
    // of memory an applet could exhaust.
    auto instance = std::make_unique<Object>();
    instance->cls = cls;
    instance->cells.assign(cls->cells, Word{});
    instance->entryPoint = true;
    if (freeRefs_.empty() && heap_.size() >= handleCount)
        throw Halt("the card has no handle left for a " + cls->name);
    const Ref ref = place(std::move(instance));
    exceptionInstances_[cls] = ref;
    return ref;
}

std::optional<unsigned> Vm::reasonOf(Ref thrown)
{
    if (!live(thrown))
        return std::nullopt;
    const Object& exception = *heap_[thrown];
    if (exception.cls &&
        (exception.cls->isSubclassOf(api.cardException) || exception.cls->isSubclassOf(api.cardRuntimeException)) &&
        !exception.cells.empty())
        return static_cast<std::uint16_t>(exception.cells[0].value);
    return std::nullopt;
}

void Vm::throwNew(const Class* cls, std::optional<unsigned> reason, const std::string& detail)
{
    const Ref ref = exceptionInstance(cls);
    if (reason && !heap_[ref]->cells.empty())
        heap_[ref]->cells[0] = {static_cast<std::int16_t>(*reason), Kind::Short};
    noteThrow(ref, detail);
    throw Thrown{ref};
}

void Vm::fault(const std::string& detail)
{
    throwNew(api.security, std::nullopt, detail);
}

void Vm::noteThrow(Ref thrown, const std::string& detail)
{
    Diagnostic diagnostic;
    const Object& exception = *heap_[thrown];
    diagnostic.exception = exception.cls ? exception.cls->name : "an array";
    diagnostic.reason = reasonOf(thrown);
    diagnostic.detail = detail;
    diagnostic.frames = stackNow();
    if (apiCall)
        diagnostic.apiCall = apiCall->fullName();
    throws_[thrown] = diagnostic;
    if (settings.trace)
        traced.push_back(std::move(diagnostic));
}

Diagnostic Vm::diagnosticOf(Ref thrown) const
{
    if (const auto found = throws_.find(thrown); found != throws_.end())
        return found->second;
    return {};
}

unsigned MethodDebug::lineAt(unsigned pc) const
{
    unsigned found = 0;
    for (const auto& line : lines)
        if (pc >= line.start && pc < line.end)
            found = line.line;
    return found;
}

std::string MethodDebug::sourcePath() const
{
    const auto slash = cls.rfind('/');
    const std::string name = file.empty() ? cls.substr(slash + 1) + ".java" : file;
    return slash == std::string::npos ? name : cls.substr(0, slash + 1) + name;
}

StackFrame Vm::frameOf(const Method* method, unsigned pc) const
{
    StackFrame frame;
    frame.offset = pc;
    const Package& package = *method->package;
    if (const auto found = package.debug.find(method->offset); found != package.debug.end()) {
        frame.cls = found->second.cls;
        frame.method = found->second.method;
        frame.file = found->second.file;
        frame.line = found->second.lineAt(pc);
    } else {
        frame.cls = method->owner ? method->owner->name : package.name;
        frame.method = method->name;
    }
    return frame;
}

std::string Vm::methodName(const Method* method) const
{
    const StackFrame frame = frameOf(method, method->codeStart);
    return frame.cls + "." + frame.method;
}

std::vector<StackFrame> Vm::stackNow() const
{
    std::vector<StackFrame> frames;
    for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame)
        frames.push_back(frameOf(frame->method, frame->pc));
    return frames;
}

bool Class::isSubclassOf(const Class* other) const
{
    for (const Class* cls = this; cls; cls = cls->super) {
        if (cls == other)
            return true;
        for (const Class* iface : cls->interfaces)
            if (iface->isSubclassOf(other))
                return true;
    }
    return false;
}

const Method* Class::interfaceMethod(const Class* iface, unsigned token) const
{
    for (const Class* cls = this; cls; cls = cls->super)
        for (const auto& map : cls->maps)
            if (map.iface == iface && token < map.tokens.size() && map.tokens[token] < virtuals.size())
                return virtuals[map.tokens[token]];
    // The API's own objects answer their interfaces' methods by name and type.
    const Method* wanted = token < iface->virtuals.size() ? iface->virtuals[token] : nullptr;
    if (wanted)
        for (const Method* own : virtuals)
            if (own && own->package->api && own->name == wanted->name && own->descriptor == wanted->descriptor)
                return own;
    return nullptr;
}

std::string Method::fullName() const
{
    return (owner ? owner->name : package->name) + "." + name + descriptor;
}

} // namespace tolvane::runtime
