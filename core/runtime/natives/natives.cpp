// The API as the runtime serves it: java.lang, javacard.framework, and the
// message digests and random data of javacard.security. A method of the API
// not served here throws when called, and the command's answer names it.

#include "core/runtime/api/api_table.h"
#include "core/runtime/natives/native_support.h"
#include "core/runtime/vm/vm.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace tolvane::runtime {
namespace {

// The API constants the natives take or give, read once from the table.
struct Constants {
    long long clearOnReset, clearOnDeselect, notTransient;
    long long memoryPersistent, memoryReset, memoryDeselect;
    long long illegalValue, illegalTransient, illegalAid, illegalUse; // SystemException
    long long apduIllegalUse, apduBufferBounds, apduBadLength;
    long long pinIllegalValue;
    long long noSuchAlgorithm, cryptoIllegalValue;
    long long stateInitial, statePartialIncoming, stateFullIncoming, stateOutgoing, stateLengthKnown, statePartialOutgoing, stateFullOutgoing;
};
Constants k;

void prepareConstants()
{
    const auto v = [](const char* cls, const char* name) { return apiConstant(cls, name); };
    const char* jc = "javacard.framework.JCSystem";
    const char* se = "javacard.framework.SystemException";
    const char* ae = "javacard.framework.APDUException";
    const char* apdu = "javacard.framework.APDU";
    k = {v(jc, "CLEAR_ON_RESET"),
         v(jc, "CLEAR_ON_DESELECT"),
         v(jc, "NOT_A_TRANSIENT_OBJECT"),
         v(jc, "MEMORY_TYPE_PERSISTENT"),
         v(jc, "MEMORY_TYPE_TRANSIENT_RESET"),
         v(jc, "MEMORY_TYPE_TRANSIENT_DESELECT"),
         v(se, "ILLEGAL_VALUE"),
         v(se, "ILLEGAL_TRANSIENT"),
         v(se, "ILLEGAL_AID"),
         v(se, "ILLEGAL_USE"),
         v(ae, "ILLEGAL_USE"),
         v(ae, "BUFFER_BOUNDS"),
         v(ae, "BAD_LENGTH"),
         v("javacard.framework.PINException", "ILLEGAL_VALUE"),
         v("javacard.security.CryptoException", "NO_SUCH_ALGORITHM"),
         v("javacard.security.CryptoException", "ILLEGAL_VALUE"),
         v(apdu, "STATE_INITIAL"),
         v(apdu, "STATE_PARTIAL_INCOMING"),
         v(apdu, "STATE_FULL_INCOMING"),
         v(apdu, "STATE_OUTGOING"),
         v(apdu, "STATE_OUTGOING_LENGTH_KNOWN"),
         v(apdu, "STATE_PARTIAL_OUTGOING"),
         v(apdu, "STATE_FULL_OUTGOING")};
}

unsigned u(long long value)
{
    return static_cast<unsigned>(value);
}

// A range of an array that a call reads or writes, else
// ArrayIndexOutOfBoundsException.
void inRange(NativeCall& c, const Object& array, std::int32_t offset, std::int32_t length)
{
    if (offset < 0 || length < 0 ||
        static_cast<std::size_t>(offset) + static_cast<std::size_t>(length) > array.length())
        c.vm.throwNew(c.vm.api.arrayIndex, std::nullopt,
                      "offset " + std::to_string(offset) + " and length " + std::to_string(length) +
                          " outside an array of " + std::to_string(array.length()));
}

// Writes bytes into a byte array: through the transaction where `atomic`
// and one is open, else at once.
void writeBytes(NativeCall& c, Ref array, std::size_t offset, const std::uint8_t* bytes, std::size_t count, bool atomic)
{
    Object& target = c.vm.object(array);
    if (count == 0)
        return;
    if (atomic && c.vm.inTransaction() && target.memory == Memory::Persistent) {
        for (std::size_t i = 0; i < count; ++i)
            c.vm.setByte(array, offset + i, bytes[i]);
        return;
    }
    std::memmove(target.bytes.data() + offset, bytes, count);
}

// java.lang and the exceptions

void noop(NativeCall&) {}

void sameObject(NativeCall& c)
{
    c.returnShort(c.refArg(0) == c.refArg(1) ? 1 : 0);
}

void initReason(NativeCall& c)
{
    Object& self = c.objectArg(0);
    if (!self.cells.empty())
        c.vm.setCell(c.refArg(0), 0, {c.shortArg(1), Kind::Short});
}

void getReason(NativeCall& c)
{
    const Object& self = c.objectArg(0);
    c.returnShort(self.cells.empty() || self.cells[0].kind != Kind::Short ? 0 : self.cells[0].value);
}

void setReason(NativeCall& c)
{
    initReason(c);
}

void throwIt(NativeCall& c)
{
    c.vm.throwNew(c.method.owner, static_cast<std::uint16_t>(c.shortArg(0)));
}

// A method of the API the runtime does not serve. Cards without an
// algorithm answer CryptoException NO_SUCH_ALGORITHM, and applets are
// written to expect it; anything else is a SystemException.
void unserved(NativeCall& c)
{
    const std::string name = c.method.fullName();
    const std::string detail = name + " is not served by the simulated card";
    const bool crypto = name.rfind("javacard.security.", 0) == 0 || name.rfind("javacardx.crypto.", 0) == 0;
    try {
        if (crypto)
            c.vm.throwNew(c.vm.api.cryptoException, u(k.noSuchAlgorithm), detail);
        c.vm.throwNew(c.vm.api.systemException, u(k.illegalUse), detail);
    } catch (const Thrown& thrown) {
        auto diagnostic = c.vm.diagnosticOf(thrown.object);
        const bool known = std::any_of(c.vm.unserved.begin(), c.vm.unserved.end(),
                                       [&](const Diagnostic& d) { return d.detail == detail; });
        if (!known)
            c.vm.unserved.push_back(std::move(diagnostic));
        throw;
    }
}

// javacard.framework.Util

void utilCopy(NativeCall& c, bool atomic)
{
    Object& src = c.arrayArg(0, ArrayType::Byte);
    const std::int16_t srcOff = c.shortArg(1);
    Object& dest = c.arrayArg(2, ArrayType::Byte);
    const std::int16_t destOff = c.shortArg(3), length = c.shortArg(4);
    inRange(c, src, srcOff, length);
    inRange(c, dest, destOff, length);
    const std::vector<std::uint8_t> copy(src.bytes.begin() + srcOff, src.bytes.begin() + srcOff + length);
    writeBytes(c, c.refArg(2), static_cast<std::size_t>(destOff), copy.data(), copy.size(), atomic);
    c.returnShort(static_cast<std::int16_t>(destOff + length));
}

void arrayCopy(NativeCall& c)
{
    utilCopy(c, true);
}

void arrayCopyNonAtomic(NativeCall& c)
{
    utilCopy(c, false);
}

void utilFill(NativeCall& c, bool atomic)
{
    Object& array = c.arrayArg(0, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(1), length = c.shortArg(2);
    inRange(c, array, offset, length);
    const std::vector<std::uint8_t> fill(static_cast<std::size_t>(length), static_cast<std::uint8_t>(c.shortArg(3)));
    writeBytes(c, c.refArg(0), static_cast<std::size_t>(offset), fill.data(), fill.size(), atomic);
    c.returnShort(static_cast<std::int16_t>(offset + length));
}

void arrayFill(NativeCall& c)
{
    utilFill(c, true);
}

void arrayFillNonAtomic(NativeCall& c)
{
    utilFill(c, false);
}

void arrayCompare(NativeCall& c)
{
    Object& src = c.arrayArg(0, ArrayType::Byte);
    const std::int16_t srcOff = c.shortArg(1);
    Object& dest = c.arrayArg(2, ArrayType::Byte);
    const std::int16_t destOff = c.shortArg(3), length = c.shortArg(4);
    inRange(c, src, srcOff, length);
    inRange(c, dest, destOff, length);
    for (std::int16_t i = 0; i < length; ++i) {
        const auto a = static_cast<std::int8_t>(src.bytes[static_cast<std::size_t>(srcOff + i)]);
        const auto b = static_cast<std::int8_t>(dest.bytes[static_cast<std::size_t>(destOff + i)]);
        if (a != b) {
            c.returnShort(a < b ? -1 : 1);
            return;
        }
    }
    c.returnShort(0);
}

void makeShort(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>((c.shortArg(0) & 0xFF) << 8 | (c.shortArg(1) & 0xFF)));
}

void getShort(NativeCall& c)
{
    Object& array = c.arrayArg(0, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(1);
    inRange(c, array, offset, 2);
    const auto at = static_cast<std::size_t>(offset);
    c.returnShort(static_cast<std::int16_t>(array.bytes[at] << 8 | array.bytes[at + 1]));
}

void setShort(NativeCall& c)
{
    Object& array = c.arrayArg(0, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(1), value = c.shortArg(2);
    inRange(c, array, offset, 2);
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    writeBytes(c, c.refArg(0), static_cast<std::size_t>(offset), bytes, 2, true);
    c.returnShort(static_cast<std::int16_t>(offset + 2));
}

// javacard.framework.JCSystem

Memory transientKind(NativeCall& c, std::int16_t event)
{
    if (event == k.clearOnReset)
        return Memory::ClearOnReset;
    if (event == k.clearOnDeselect)
        return Memory::ClearOnDeselect;
    c.vm.throwNew(c.vm.api.systemException, u(k.illegalValue),
                  "a transient array cleared on event " + std::to_string(event));
}

void makeTransient(NativeCall& c, ArrayType type)
{
    const std::int16_t length = c.shortArg(0);
    const Memory memory = transientKind(c, c.shortArg(1));
    if (length < 0)
        c.vm.throwNew(c.vm.api.negativeSize, std::nullopt, "a transient array of length " + std::to_string(length));
    const Ref array = c.vm.newArray(type, static_cast<std::size_t>(length), memory);
    c.returnRef(array);
}

void makeTransientBooleanArray(NativeCall& c)
{
    makeTransient(c, ArrayType::Boolean);
}
void makeTransientByteArray(NativeCall& c)
{
    makeTransient(c, ArrayType::Byte);
}
void makeTransientShortArray(NativeCall& c)
{
    makeTransient(c, ArrayType::Short);
}
void makeTransientObjectArray(NativeCall& c)
{
    makeTransient(c, ArrayType::Reference);
}

void isTransient(NativeCall& c)
{
    const Object& object = c.objectArg(0);
    c.returnShort(static_cast<std::int16_t>(object.memory == Memory::ClearOnReset      ? k.clearOnReset
                                            : object.memory == Memory::ClearOnDeselect ? k.clearOnDeselect
                                                                                       : k.notTransient));
}

void beginTransaction(NativeCall& c)
{
    c.vm.beginTransaction();
}
void commitTransaction(NativeCall& c)
{
    c.vm.commitTransaction();
}
void abortTransaction(NativeCall& c)
{
    c.vm.abortTransaction();
}
void getTransactionDepth(NativeCall& c)
{
    c.returnShort(c.vm.inTransaction() ? 1 : 0);
}
void getMaxCommitCapacity(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(Vm::commitCapacity));
}
void getUnusedCommitCapacity(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(Vm::commitCapacity - c.vm.journalBytes()));
}

// The memory a JCSystem.MEMORY_TYPE_* argument names.
Memory memoryOfType(NativeCall& c, std::int16_t type)
{
    if (type == k.memoryReset)
        return Memory::ClearOnReset;
    if (type == k.memoryDeselect)
        return Memory::ClearOnDeselect;
    if (type != k.memoryPersistent)
        c.vm.throwNew(c.vm.api.systemException, u(k.illegalValue), "memory type " + std::to_string(type));
    return Memory::Persistent;
}

void getAvailableMemory(NativeCall& c)
{
    const Memory memory = memoryOfType(c, c.shortArg(0));
    c.returnShort(static_cast<std::int16_t>(std::min<std::size_t>(c.vm.freeMemory(memory), 0x7FFF)));
}

// The 3.0.4 form, for memories past 32767 bytes: the high and the low
// 16 bits of the free bytes, in two elements of a short[].
void getAvailableMemoryInShorts(NativeCall& c)
{
    Object& buffer = c.arrayArg(0, ArrayType::Short);
    const std::int16_t offset = c.shortArg(1), type = c.shortArg(2);
    inRange(c, buffer, offset, 2);
    const Memory memory = memoryOfType(c, type);
    const auto free = static_cast<std::uint32_t>(std::min<std::size_t>(c.vm.freeMemory(memory), 0x7FFFFFFF));
    c.vm.setShort(c.refArg(0), static_cast<std::size_t>(offset), static_cast<std::int16_t>(free >> 16));
    c.vm.setShort(c.refArg(0), static_cast<std::size_t>(offset) + 1, static_cast<std::int16_t>(free & 0xFFFF));
}

void getVersion(NativeCall& c)
{
    c.returnShort(0x0302);
}

void returnTrue(NativeCall& c)
{
    c.returnShort(1);
}

void returnFalse(NativeCall& c)
{
    c.returnShort(0);
}

void returnZero(NativeCall& c)
{
    c.returnShort(0);
}

void returnNull(NativeCall& c)
{
    c.returnRef(nullRef);
}

void requestObjectDeletion(NativeCall& c)
{
    c.vm.gcRequested = true;
}

// The instance of `context`: the one selected, or being installed (once it
// has registered), or else the first of its package.
const Instance* instanceOf(Vm& vm, std::uint16_t context)
{
    if (vm.installingPackage && vm.installingPackage->context == context)
        return vm.installing ? &vm.instances[*vm.installing] : nullptr;
    if (const auto selected = vm.selected(); selected && vm.instances[*selected].package->context == context)
        return &vm.instances[*selected];
    for (const auto& instance : vm.instances)
        if (instance.package->context == context)
            return &instance;
    return nullptr;
}

const Instance* currentInstance(Vm& vm)
{
    return instanceOf(vm, vm.currentContext());
}

void getPreviousContextAID(NativeCall& c)
{
    const auto previous = c.vm.previousContext();
    const Instance* instance = previous ? instanceOf(c.vm, *previous) : nullptr;
    c.returnRef(instance ? instance->aidObject : nullRef);
}

void getAID(NativeCall& c)
{
    const Instance* instance = currentInstance(c.vm);
    c.returnRef(instance ? instance->aidObject : nullRef);
}

struct AidState : NativeState {
    std::vector<std::uint8_t> bytes;
    const char* stateKind() const override { return "aid"; }
    void save(StateWriter& out) const override { out.bytes(bytes); }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<AidState>();
        state->bytes = in.bytes();
        return state;
    }
};

std::vector<std::uint8_t> bytesOf(NativeCall& c, unsigned arrayArg, unsigned offsetArg, unsigned lengthArg)
{
    Object& array = c.arrayArg(arrayArg, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(offsetArg), length = c.shortArg(lengthArg);
    inRange(c, array, offset, length);
    return {array.bytes.begin() + offset, array.bytes.begin() + offset + length};
}

const std::vector<std::uint8_t>& aidOf(NativeCall& c, unsigned arg)
{
    Object& object = c.objectArg(arg);
    auto* state = dynamic_cast<AidState*>(object.native.get());
    if (!state)
        c.vm.fault("an AID without its bytes");
    return state->bytes;
}

void lookupAID(NativeCall& c)
{
    const auto bytes = bytesOf(c, 0, 1, 2);
    for (const auto& instance : c.vm.instances)
        if (instance.aid == bytes) {
            c.returnRef(instance.aidObject);
            return;
        }
    c.returnRef(nullRef);
}

void isAppletActive(NativeCall& c)
{
    const auto& aid = aidOf(c, 0);
    // Active: selected on any channel.
    bool active = false;
    for (unsigned channel = 0; channel < Vm::channelCount; ++channel)
        if (const auto& on = c.vm.selectedOn[channel]; c.vm.channelOpen[channel] && on)
            active = active || c.vm.instances[*on].aid == aid;
    c.returnShort(active ? 1 : 0);
}

void getAppletShareableInterfaceObject(NativeCall& c)
{
    const auto aid = aidOf(c, 0);
    const std::int16_t parameter = c.shortArg(1);
    const Instance* client = currentInstance(c.vm);
    for (const auto& server : c.vm.instances)
        if (server.aid == aid) {
            const Object& applet = c.vm.object(server.applet);
            const Method* method = c.vm.virtualMethod(applet, c.vm.api.shareableObject);
            const auto result =
                c.vm.call(method,
                          {{static_cast<std::int16_t>(server.applet), Kind::Reference},
                           {static_cast<std::int16_t>(client ? client->aidObject : nullRef), Kind::Reference},
                           {parameter, Kind::Short}},
                          server.package->context);
            c.returnRef(result.empty() || result[0].kind != Kind::Reference ? nullRef
                                                                            : static_cast<Ref>(result[0].value));
            return;
        }
    c.returnRef(nullRef);
}

// javacard.framework.AID

void aidInit(NativeCall& c)
{
    auto bytes = bytesOf(c, 1, 2, 3);
    if (bytes.size() < 5 || bytes.size() > 16)
        c.vm.throwNew(c.vm.api.systemException, u(k.illegalValue),
                      "an AID of " + std::to_string(bytes.size()) + " bytes");
    auto state = std::make_unique<AidState>();
    state->bytes = std::move(bytes);
    c.objectArg(0).native = std::move(state);
}

void aidGetBytes(NativeCall& c)
{
    const auto aid = aidOf(c, 0);
    Object& dest = c.arrayArg(1, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(2);
    inRange(c, dest, offset, static_cast<std::int32_t>(aid.size()));
    writeBytes(c, c.refArg(1), static_cast<std::size_t>(offset), aid.data(), aid.size(), true);
    c.returnShort(static_cast<std::int16_t>(aid.size()));
}

void aidEqualsObject(NativeCall& c)
{
    const Ref other = c.refArg(1);
    if (other == nullRef || !dynamic_cast<AidState*>(c.vm.object(other).native.get())) {
        c.returnShort(0);
        return;
    }
    c.returnShort(aidOf(c, 0) == aidOf(c, 1) ? 1 : 0);
}

void aidEqualsBytes(NativeCall& c)
{
    if (c.refArg(1) == nullRef) {
        c.returnShort(0);
        return;
    }
    c.returnShort(aidOf(c, 0) == bytesOf(c, 1, 2, 3) ? 1 : 0);
}

void aidPartialEquals(NativeCall& c)
{
    if (c.refArg(1) == nullRef) {
        c.returnShort(0);
        return;
    }
    const auto& aid = aidOf(c, 0);
    const auto bytes = bytesOf(c, 1, 2, 3);
    c.returnShort(bytes.size() <= aid.size() && std::equal(bytes.begin(), bytes.end(), aid.begin()) ? 1 : 0);
}

void aidRidEquals(NativeCall& c)
{
    if (c.refArg(1) == nullRef) {
        c.returnShort(0);
        return;
    }
    const auto& a = aidOf(c, 0);
    const auto& b = aidOf(c, 1);
    c.returnShort(std::equal(a.begin(), a.begin() + 5, b.begin()) ? 1 : 0);
}

void aidGetPartialBytes(NativeCall& c)
{
    const auto& aid = aidOf(c, 0);
    const std::int16_t from = c.shortArg(1);
    Object& dest = c.arrayArg(2, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(3);
    std::int16_t length = c.shortArg(4);
    if (from < 0 || static_cast<std::size_t>(from) > aid.size())
        c.vm.throwNew(c.vm.api.arrayIndex, std::nullopt, "an AID offset of " + std::to_string(from));
    if (length == 0 || static_cast<std::size_t>(from + length) > aid.size())
        length = static_cast<std::int16_t>(aid.size() - static_cast<std::size_t>(from));
    inRange(c, dest, offset, length);
    writeBytes(c, c.refArg(2), static_cast<std::size_t>(offset), aid.data() + from, static_cast<std::size_t>(length),
               true);
    c.returnShort(length);
}

// javacard.framework.Applet

void registerInstance(NativeCall& c, std::vector<std::uint8_t> aid)
{
    Vm& vm = c.vm;
    if (!vm.installingPackage || vm.installing)
        vm.throwNew(vm.api.systemException, u(k.illegalAid), "register() outside the install method, or twice");
    for (const auto& instance : vm.instances)
        if (instance.aid == aid)
            vm.throwNew(vm.api.systemException, u(k.illegalAid), "register() of an AID already in use");
    const Ref aidObject = vm.newInstance(vm.api.aid);
    Object& made = vm.object(aidObject);
    made.entryPoint = true;
    made.context = 0;
    auto state = std::make_unique<AidState>();
    state->bytes = aid;
    made.native = std::move(state);
    vm.instances.push_back({std::move(aid), c.refArg(0), vm.installingPackage, aidObject});
    vm.installing = vm.instances.size() - 1;
}

void appletRegister(NativeCall& c)
{
    c.objectArg(0);
    registerInstance(c, c.vm.installingAid);
}

void appletRegisterAid(NativeCall& c)
{
    c.objectArg(0);
    auto aid = bytesOf(c, 1, 2, 3);
    if (aid.size() < 5 || aid.size() > 16)
        c.vm.throwNew(c.vm.api.systemException, u(k.illegalValue),
                      "register() with an AID of " + std::to_string(aid.size()) + " bytes");
    registerInstance(c, std::move(aid));
}

void selectingApplet(NativeCall& c)
{
    c.returnShort(c.vm.selecting ? 1 : 0);
}

// javacard.framework.OwnerPIN

struct PinState : NativeState {
    std::vector<std::uint8_t> pin;
    unsigned limit = 0, maxSize = 0, tries = 0;
    bool validated = false; // cleared at card reset, as a transient flag is
    void reset() override { validated = false; }
    const char* stateKind() const override { return "pin"; }
    std::vector<std::pair<std::string, std::string>> shown() const override
    {
        return {{"triesRemaining", std::to_string(tries)}, {"tryLimit", std::to_string(limit)},
                {"maxPINSize", std::to_string(maxSize)}, {"validated", validated ? "true" : "false"}};
    }
    void save(StateWriter& out) const override
    {
        out.bytes(pin);
        out.u8(static_cast<std::uint8_t>(limit));
        out.u8(static_cast<std::uint8_t>(maxSize));
        out.u8(static_cast<std::uint8_t>(tries));
    }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<PinState>();
        state->pin = in.bytes();
        state->limit = in.u8();
        state->maxSize = in.u8();
        state->tries = in.u8();
        return state;
    }
};

PinState& pinOf(NativeCall& c)
{
    Object& object = c.objectArg(0);
    auto* state = dynamic_cast<PinState*>(object.native.get());
    if (!state)
        c.vm.fault("an OwnerPIN whose constructor never ran");
    return *state;
}

std::unique_ptr<PinState> makePin(NativeCall& c, std::int16_t limit, std::int16_t maxSize)
{
    if (limit < 1 || maxSize < 1)
        c.vm.throwNew(c.vm.api.pinException, u(k.pinIllegalValue),
                      "an OwnerPIN of try limit " + std::to_string(limit) + " and maximum size " +
                          std::to_string(maxSize));
    auto state = std::make_unique<PinState>();
    state->limit = static_cast<unsigned>(limit);
    state->maxSize = static_cast<unsigned>(maxSize);
    state->tries = state->limit; // a new PIN is not blocked: its tries are at the limit
    return state;
}

void pinInit(NativeCall& c)
{
    c.objectArg(0).native = makePin(c, c.shortArg(1), c.shortArg(2));
}

// OwnerPINBuilder.buildOwnerPIN(tryLimit, maxPINSize, pinType): an OwnerPIN;
// the OwnerPINx kinds are not served.
void buildOwnerPin(NativeCall& c)
{
    const std::int16_t type = c.shortArg(2);
    if (type != 1)
        c.vm.throwNew(c.vm.api.pinException, u(k.pinIllegalValue),
                      "OwnerPINBuilder PIN type " + std::to_string(type) + ", which the simulated card does not serve");
    auto state = makePin(c, c.shortArg(0), c.shortArg(1));
    const Ref made = c.vm.newInstance(c.vm.api.ownerPin);
    c.vm.object(made).native = std::move(state);
    c.returnRef(made);
}

void pinUpdate(NativeCall& c)
{
    PinState& state = pinOf(c);
    auto pin = bytesOf(c, 1, 2, 3);
    if (pin.size() > state.maxSize)
        c.vm.throwNew(c.vm.api.pinException, u(k.pinIllegalValue),
                      "a PIN of " + std::to_string(pin.size()) + " bytes, past its maximum of " +
                          std::to_string(state.maxSize));
    // The new PIN and its try counter are part of a transaction in progress;
    // the validated flag is not.
    if (c.vm.inTransaction()) {
        // The state lives as long as its object, which the transaction's
        // undo cannot outlive: deletion runs only between commands.
        c.vm.journalNative([&state, old = state.pin, tries = state.tries] {
            state.pin = old;
            state.tries = tries;
        },
                           state.pin.size() + 1);
    }
    state.pin = std::move(pin);
    state.tries = state.limit;
    state.validated = false;
}

void pinCheck(NativeCall& c)
{
    PinState& state = pinOf(c);
    state.validated = false;
    if (state.tries == 0) {
        c.returnShort(0);
        return;
    }
    --state.tries; // before the comparison, so that tearing the card away costs a try
    const std::int16_t length = c.shortArg(3);
    if (length < 0 || static_cast<std::size_t>(length) != state.pin.size()) {
        c.returnShort(0);
        return;
    }
    if (bytesOf(c, 1, 2, 3) == state.pin) {
        state.tries = state.limit;
        state.validated = true;
        c.returnShort(1);
        return;
    }
    c.returnShort(0);
}

void pinTries(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(pinOf(c).tries));
}

void pinIsValidated(NativeCall& c)
{
    c.returnShort(pinOf(c).validated ? 1 : 0);
}

void pinSetValidated(NativeCall& c)
{
    pinOf(c).validated = c.shortArg(1) != 0;
}

void pinReset(NativeCall& c)
{
    PinState& state = pinOf(c);
    if (state.validated)
        state.tries = state.limit;
    state.validated = false;
}

void pinResetAndUnblock(NativeCall& c)
{
    PinState& state = pinOf(c);
    state.tries = state.limit;
    state.validated = false;
}

// javacard.framework.APDU

ApduState& apduOf(NativeCall& c)
{
    Object& object = c.vm.object(c.vm.apduObject);
    return static_cast<ApduState&>(*object.native);
}

[[noreturn]] void apduThrow(NativeCall& c, long long reason, const std::string& detail)
{
    c.vm.throwNew(c.vm.api.apduException, u(reason), detail);
}

void apduGetBuffer(NativeCall& c)
{
    c.returnRef(c.vm.apduBuffer);
}

void apduGetCurrent(NativeCall& c)
{
    c.returnRef(c.vm.apduObject);
}

// Whether setIncomingAndReceive has run and no answer has begun.
bool receiving(const ApduState& apdu)
{
    return apdu.state == k.statePartialIncoming || apdu.state == k.stateFullIncoming;
}

// Gives the applet the next bytes of the command's data, as many as fit in
// the buffer from `offset`: all of them unless the data is longer than the
// buffer (an extended command).
std::int16_t receiveInto(NativeCall& c, ApduState& apdu, std::size_t offset)
{
    Object& buffer = c.vm.object(c.vm.apduBuffer);
    const std::size_t room = buffer.bytes.size() - std::min(offset, buffer.bytes.size());
    const std::size_t count = std::min<std::size_t>(apdu.lc - apdu.received, room);
    const auto from = apdu.command.begin() + apdu.dataOffset + apdu.received;
    std::copy(from, from + static_cast<long>(count), buffer.bytes.begin() + static_cast<long>(offset));
    apdu.received += static_cast<unsigned>(count);
    apdu.state = static_cast<std::int8_t>(apdu.received == apdu.lc ? k.stateFullIncoming : k.statePartialIncoming);
    return static_cast<std::int16_t>(count);
}

void apduReceive(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    if (apdu.state != k.stateInitial)
        apduThrow(c, k.apduIllegalUse, "setIncomingAndReceive() after the data was received or the answer begun");
    c.returnShort(receiveInto(c, apdu, apdu.dataOffset));
}

void apduReceiveBytes(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    const std::int16_t offset = c.shortArg(1);
    if (!receiving(apdu))
        apduThrow(c, k.apduIllegalUse, "receiveBytes() before setIncomingAndReceive() or after the answer begun");
    const std::size_t size = c.vm.object(c.vm.apduBuffer).bytes.size();
    // Room for a block at least, as the API asks of the offset.
    if (offset < 0 || static_cast<std::size_t>(offset) >= size)
        apduThrow(c, k.apduBufferBounds, "receiveBytes() at offset " + std::to_string(offset));
    c.returnShort(receiveInto(c, apdu, static_cast<std::size_t>(offset)));
}

void apduSetOutgoing(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    if (apdu.state >= k.stateOutgoing)
        apduThrow(c, k.apduIllegalUse, "setOutgoing() twice");
    apdu.state = static_cast<std::int8_t>(k.stateOutgoing);
    // An extended Le of 0000 (65536) is more than a short says: 32767.
    c.returnShort(static_cast<std::int16_t>(std::min(apdu.ne, 32767u)));
}

void apduSetOutgoingLength(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    const std::int16_t length = c.shortArg(1);
    if (apdu.state != k.stateOutgoing)
        apduThrow(c, k.apduIllegalUse, "setOutgoingLength() without setOutgoing(), or twice");
    if (length < 0 || static_cast<unsigned>(length) > apdu.maxOutgoing)
        apduThrow(c, k.apduBadLength,
                  "setOutgoingLength(" + std::to_string(length) + "), past the " + std::to_string(apdu.maxOutgoing) +
                      " bytes an answer to this applet may hold");
    apdu.declared = static_cast<unsigned>(length);
    apdu.state = static_cast<std::int8_t>(k.stateLengthKnown);
}

void send(NativeCall& c, const Object& from, std::int16_t offset, std::int16_t length, bool buffer)
{
    ApduState& apdu = apduOf(c);
    if ((apdu.state != k.stateLengthKnown && apdu.state != k.statePartialOutgoing &&
         apdu.state != k.stateFullOutgoing) ||
        apdu.sentAndDone)
        apduThrow(c, k.apduIllegalUse,
                  apdu.sentAndDone ? "sending after setOutgoingAndSend()" : "sending before setOutgoingLength()");
    if (offset < 0 || length < 0 || static_cast<std::size_t>(offset + length) > from.length()) {
        if (buffer)
            apduThrow(c, k.apduBufferBounds,
                      "sending " + std::to_string(length) + " bytes from offset " + std::to_string(offset) +
                          " of the APDU buffer");
        inRange(c, from, offset, length);
    }
    if (apdu.response.size() + static_cast<std::size_t>(length) > apdu.declared)
        apduThrow(c, k.apduIllegalUse, "sending more than the " + std::to_string(apdu.declared) + " bytes declared");
    apdu.response.insert(apdu.response.end(), from.bytes.begin() + offset, from.bytes.begin() + offset + length);
    apdu.state =
        static_cast<std::int8_t>(apdu.response.size() == apdu.declared ? k.stateFullOutgoing : k.statePartialOutgoing);
}

void apduSendBytes(NativeCall& c)
{
    send(c, c.vm.object(c.vm.apduBuffer), c.shortArg(1), c.shortArg(2), true);
}

void apduSendBytesLong(NativeCall& c)
{
    send(c, c.arrayArg(1, ArrayType::Byte), c.shortArg(2), c.shortArg(3), false);
}

void apduSetOutgoingAndSend(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    const std::int16_t offset = c.shortArg(1), length = c.shortArg(2);
    if (apdu.state >= k.stateOutgoing)
        apduThrow(c, k.apduIllegalUse, "setOutgoingAndSend() after setOutgoing()");
    if (length < 0 || static_cast<unsigned>(length) > apdu.maxOutgoing)
        apduThrow(c, k.apduBadLength, "setOutgoingAndSend() of " + std::to_string(length) + " bytes");
    apdu.state = static_cast<std::int8_t>(k.stateLengthKnown);
    apdu.declared = static_cast<unsigned>(length);
    send(c, c.vm.object(c.vm.apduBuffer), offset, length, true);
    apdu.sentAndDone = true;
}

void apduState(NativeCall& c)
{
    c.returnShort(apduOf(c).state);
}

void apduIncomingLength(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    if (!receiving(apdu))
        apduThrow(c, k.apduIllegalUse, "getIncomingLength() before setIncomingAndReceive()");
    c.returnShort(static_cast<std::int16_t>(apdu.lc));
}

void apduOffsetCdata(NativeCall& c)
{
    ApduState& apdu = apduOf(c);
    if (!receiving(apdu))
        apduThrow(c, k.apduIllegalUse, "getOffsetCdata() before setIncomingAndReceive()");
    c.returnShort(static_cast<std::int16_t>(apdu.dataOffset));
}

void apduProtocol(NativeCall& c)
{
    c.returnShort(apduOf(c).t0 ? 0 : 1);
}

void apduBlockSize(NativeCall& c)
{
    c.returnShort(apduOf(c).t0 ? 1 : 254);
}

void apduClaChannel(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(channelOfCla(apduOf(c).command[0], c.vm.settings.channels)));
}

void getAssignedChannel(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(c.vm.channel));
}

void apduCla(NativeCall& c, std::uint8_t mask, bool set)
{
    const std::uint8_t cla = apduOf(c).command[0];
    c.returnShort(((cla & mask) != 0) == set ? 1 : 0);
}

void apduChaining(NativeCall& c)
{
    apduCla(c, 0x10, true);
}
void apduSecureMessaging(NativeCall& c)
{
    const std::uint8_t cla = apduOf(c).command[0];
    c.returnShort((cla & 0x40) ? (cla & 0x20) != 0 : (cla & 0x0C) != 0);
}
void apduInterindustry(NativeCall& c)
{
    apduCla(c, 0x80, false);
}
void apduValidCla(NativeCall& c)
{
    c.returnShort(apduOf(c).command[0] != 0xFF ? 1 : 0);
}

// javacard.security.MessageDigest

const EVP_MD* mdOf(int algorithm);

struct DigestState : NativeState {
    std::int8_t algorithm = 0;
    const EVP_MD* md = nullptr;
    std::vector<std::uint8_t> input;
    void reset() override { input.clear(); } // a card reset starts the digest again
    const char* stateKind() const override { return "digest"; }
    void save(StateWriter& out) const override { out.u8(static_cast<std::uint8_t>(algorithm)); }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<DigestState>();
        state->algorithm = static_cast<std::int8_t>(in.u8());
        state->md = mdOf(state->algorithm);
        if (!state->md)
            throw SnapshotError("a MessageDigest of no algorithm the card has");
        return state;
    }
};

// The digest of MessageDigest's algorithm number, if the card has it.
const EVP_MD* mdOf(int algorithm)
{
    const EVP_MD* md = nullptr;
    switch (algorithm) {
    case 1:
        md = EVP_sha1();
        break;
    case 2:
        md = EVP_md5();
        break;
    case 4:
        md = EVP_sha256();
        break;
    case 5:
        md = EVP_sha384();
        break;
    case 6:
        md = EVP_sha512();
        break;
    case 7:
        md = EVP_sha224();
        break;
    case 8:
        md = EVP_sha3_224();
        break;
    case 9:
        md = EVP_sha3_256();
        break;
    case 10:
        md = EVP_sha3_384();
        break;
    case 11:
        md = EVP_sha3_512();
        break;
    default:
        break;
    }
    return md;
}

// A MessageDigest, or one of its subclasses that share its state.
void makeDigest(NativeCall& c, const Class* cls)
{
    const std::int16_t algorithm = c.shortArg(0);
    const EVP_MD* md = mdOf(algorithm);
    if (!md)
        c.vm.throwNew(c.vm.api.cryptoException, u(k.noSuchAlgorithm),
                      "MessageDigest algorithm " + std::to_string(algorithm));
    const Ref made = c.vm.newInstance(cls);
    auto state = std::make_unique<DigestState>();
    state->algorithm = static_cast<std::int8_t>(algorithm);
    state->md = md;
    c.vm.object(made).native = std::move(state);
    c.returnRef(made);
}

void digestGetInstance(NativeCall& c)
{
    makeDigest(c, c.vm.api.messageDigest);
}

void initializedDigestGetInstance(NativeCall& c)
{
    makeDigest(c, c.vm.apiClass("javacard.security.InitializedMessageDigest"));
}

void digestOneShotOpen(NativeCall& c)
{
    makeDigest(c, c.vm.apiClass("javacard.security.MessageDigest$OneShot"));
}

void initializedDigestOneShotOpen(NativeCall& c)
{
    makeDigest(c, c.vm.apiClass("javacard.security.InitializedMessageDigest$OneShot"));
}

DigestState& digestOf(NativeCall& c)
{
    auto* state = dynamic_cast<DigestState*>(c.objectArg(0).native.get());
    if (!state)
        c.vm.fault("a MessageDigest the runtime did not make, or a OneShot closed");
    return *state;
}

void digestUpdate(NativeCall& c)
{
    DigestState& state = digestOf(c);
    const auto bytes = bytesOf(c, 1, 2, 3);
    state.input.insert(state.input.end(), bytes.begin(), bytes.end());
}

void digestDoFinal(NativeCall& c)
{
    DigestState& state = digestOf(c);
    const auto bytes = bytesOf(c, 1, 2, 3);
    state.input.insert(state.input.end(), bytes.begin(), bytes.end());
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(state.input.data(), state.input.size(), digest, &length, state.md, nullptr) != 1)
        c.vm.throwNew(c.vm.api.cryptoException, u(k.noSuchAlgorithm), "the digest could not be computed");
    state.input.clear();
    Object& out = c.arrayArg(4, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(5);
    inRange(c, out, offset, static_cast<std::int32_t>(length));
    writeBytes(c, c.refArg(4), static_cast<std::size_t>(offset), digest, length, false);
    c.returnShort(static_cast<std::int16_t>(length));
}

void digestReset(NativeCall& c)
{
    digestOf(c).input.clear();
}

void digestAlgorithm(NativeCall& c)
{
    c.returnShort(digestOf(c).algorithm);
}

void digestLength(NativeCall& c)
{
    c.returnShort(static_cast<std::int16_t>(EVP_MD_get_size(digestOf(c).md)));
}

// javacard.security.RandomData

struct RandomState : NativeState {
    std::int8_t algorithm = 0;
    const char* stateKind() const override { return "random"; }
    void save(StateWriter& out) const override { out.u8(static_cast<std::uint8_t>(algorithm)); }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<RandomState>();
        state->algorithm = static_cast<std::int8_t>(in.u8());
        return state;
    }
};

void makeRandom(NativeCall& c, const Class* cls)
{
    const std::int16_t algorithm = c.shortArg(0);
    if (algorithm < 1 || algorithm > 6)
        c.vm.throwNew(c.vm.api.cryptoException, u(k.noSuchAlgorithm),
                      "RandomData algorithm " + std::to_string(algorithm));
    const Ref made = c.vm.newInstance(cls);
    auto state = std::make_unique<RandomState>();
    state->algorithm = static_cast<std::int8_t>(algorithm);
    c.vm.object(made).native = std::move(state);
    c.returnRef(made);
}

void randomGetInstance(NativeCall& c)
{
    makeRandom(c, c.vm.api.randomData);
}

void randomOneShotOpen(NativeCall& c)
{
    makeRandom(c, c.vm.apiClass("javacard.security.RandomData$OneShot"));
}

void randomFill(NativeCall& c)
{
    Object& array = c.arrayArg(1, ArrayType::Byte);
    const std::int16_t offset = c.shortArg(2), length = c.shortArg(3);
    inRange(c, array, offset, length);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t got = getrandom(bytes.data() + done, bytes.size() - done, 0);
        if (got > 0)
            done += static_cast<std::size_t>(got);
    }
    writeBytes(c, c.refArg(1), static_cast<std::size_t>(offset), bytes.data(), bytes.size(), false);
    c.returnShort(static_cast<std::int16_t>(offset + length));
}

void randomSeed(NativeCall& c)
{
    bytesOf(c, 1, 2, 3); // the seed only adds to the entropy already there
}

void randomAlgorithm(NativeCall& c)
{
    auto* state = dynamic_cast<RandomState*>(c.objectArg(0).native.get());
    c.returnShort(state ? state->algorithm : 0);
}

const std::unordered_map<std::string, Native>& natives()
{
    static const std::unordered_map<std::string, Native> table = [] {
        std::unordered_map<std::string, Native> t = {
            {"javacard.framework.Util.arrayCopy([BS[BSS)S", arrayCopy},
            {"javacard.framework.Util.arrayCopyNonAtomic([BS[BSS)S", arrayCopyNonAtomic},
            {"javacard.framework.Util.arrayFill([BSSB)S", arrayFill},
            {"javacard.framework.Util.arrayFillNonAtomic([BSSB)S", arrayFillNonAtomic},
            {"javacard.framework.Util.arrayCompare([BS[BSS)B", arrayCompare},
            {"javacard.framework.Util.makeShort(BB)S", makeShort},
            {"javacard.framework.Util.getShort([BS)S", getShort},
            {"javacard.framework.Util.setShort([BSS)S", setShort},
            {"javacard.framework.JCSystem.makeTransientBooleanArray(SB)[Z", makeTransientBooleanArray},
            {"javacard.framework.JCSystem.makeTransientByteArray(SB)[B", makeTransientByteArray},
            {"javacard.framework.JCSystem.makeTransientShortArray(SB)[S", makeTransientShortArray},
            {"javacard.framework.JCSystem.makeTransientObjectArray(SB)[Ljava/lang/Object;", makeTransientObjectArray},
            {"javacard.framework.JCSystem.isTransient(Ljava/lang/Object;)B", isTransient},
            {"javacard.framework.JCSystem.beginTransaction()V", beginTransaction},
            {"javacard.framework.JCSystem.commitTransaction()V", commitTransaction},
            {"javacard.framework.JCSystem.abortTransaction()V", abortTransaction},
            {"javacard.framework.JCSystem.getTransactionDepth()B", getTransactionDepth},
            {"javacard.framework.JCSystem.getMaxCommitCapacity()S", getMaxCommitCapacity},
            {"javacard.framework.JCSystem.getUnusedCommitCapacity()S", getUnusedCommitCapacity},
            {"javacard.framework.JCSystem.getAvailableMemory(B)S", getAvailableMemory},
            {"javacard.framework.JCSystem.getAvailableMemory([SSB)V", getAvailableMemoryInShorts},
            {"javacard.framework.JCSystem.getVersion()S", getVersion},
            {"javacard.framework.JCSystem.getAID()Ljavacard/framework/AID;", getAID},
            {"javacard.framework.JCSystem.lookupAID([BSB)Ljavacard/framework/AID;", lookupAID},
            {"javacard.framework.JCSystem.getPreviousContextAID()Ljavacard/framework/AID;", getPreviousContextAID},
            {"javacard.framework.JCSystem.isAppletActive(Ljavacard/framework/AID;)Z", isAppletActive},
            {"javacard.framework.JCSystem.getAppletShareableInterfaceObject(Ljavacard/framework/AID;B)Ljavacard/"
             "framework/"
             "Shareable;",
             getAppletShareableInterfaceObject},
            {"javacard.framework.JCSystem.isObjectDeletionSupported()Z", returnTrue},
            {"javacard.framework.JCSystem.requestObjectDeletion()V", requestObjectDeletion},
            {"javacard.framework.JCSystem.getAssignedChannel()B", getAssignedChannel},
            {"javacard.framework.AID.<init>([BSB)V", aidInit},
            {"javacard.framework.AID.getBytes([BS)B", aidGetBytes},
            {"javacard.framework.AID.equals(Ljava/lang/Object;)Z", aidEqualsObject},
            {"javacard.framework.AID.equals([BSB)Z", aidEqualsBytes},
            {"javacard.framework.AID.partialEquals([BSB)Z", aidPartialEquals},
            {"javacard.framework.AID.RIDEquals(Ljavacard/framework/AID;)Z", aidRidEquals},
            {"javacard.framework.AID.getPartialBytes(S[BSB)B", aidGetPartialBytes},
            {"javacard.framework.Applet.register()V", appletRegister},
            {"javacard.framework.Applet.register([BSB)V", appletRegisterAid},
            {"javacard.framework.Applet.selectingApplet()Z", selectingApplet},
            {"javacard.framework.Applet.reSelectingApplet()Z", returnFalse},
            {"javacard.framework.Applet.select()Z", returnTrue},
            {"javacard.framework.Applet.deselect()V", noop},
            {"javacard.framework.Applet.getShareableInterfaceObject(Ljavacard/framework/AID;B)Ljavacard/framework/"
             "Shareable;",
             returnNull},
            {"javacard.framework.OwnerPIN.<init>(BB)V", pinInit},
            {"javacard.framework.OwnerPINBuilder.buildOwnerPIN(BBB)Ljavacard/framework/PIN;", buildOwnerPin},
            {"javacard.framework.OwnerPIN.update([BSB)V", pinUpdate},
            {"javacard.framework.OwnerPIN.check([BSB)Z", pinCheck},
            {"javacard.framework.OwnerPIN.getTriesRemaining()B", pinTries},
            {"javacard.framework.OwnerPIN.isValidated()Z", pinIsValidated},
            {"javacard.framework.OwnerPIN.getValidatedFlag()Z", pinIsValidated},
            {"javacard.framework.OwnerPIN.setValidatedFlag(Z)V", pinSetValidated},
            {"javacard.framework.OwnerPIN.reset()V", pinReset},
            {"javacard.framework.OwnerPIN.resetAndUnblock()V", pinResetAndUnblock},
            {"javacard.framework.APDU.getBuffer()[B", apduGetBuffer},
            {"javacard.framework.APDU.getCurrentAPDU()Ljavacard/framework/APDU;", apduGetCurrent},
            {"javacard.framework.APDU.getCurrentAPDUBuffer()[B", apduGetBuffer},
            {"javacard.framework.APDU.setIncomingAndReceive()S", apduReceive},
            {"javacard.framework.APDU.receiveBytes(S)S", apduReceiveBytes},
            {"javacard.framework.APDU.setOutgoing()S", apduSetOutgoing},
            {"javacard.framework.APDU.setOutgoingNoChaining()S", apduSetOutgoing},
            {"javacard.framework.APDU.setOutgoingLength(S)V", apduSetOutgoingLength},
            {"javacard.framework.APDU.sendBytes(SS)V", apduSendBytes},
            {"javacard.framework.APDU.sendBytesLong([BSS)V", apduSendBytesLong},
            {"javacard.framework.APDU.setOutgoingAndSend(SS)V", apduSetOutgoingAndSend},
            {"javacard.framework.APDU.getCurrentState()B", apduState},
            {"javacard.framework.APDU.getIncomingLength()S", apduIncomingLength},
            {"javacard.framework.APDU.getOffsetCdata()S", apduOffsetCdata},
            {"javacard.framework.APDU.getProtocol()B", apduProtocol},
            {"javacard.framework.APDU.getInBlockSize()S", apduBlockSize},
            {"javacard.framework.APDU.getOutBlockSize()S", apduBlockSize},
            {"javacard.framework.APDU.getNAD()B", returnZero},
            {"javacard.framework.APDU.getCLAChannel()B", apduClaChannel},
            {"javacard.framework.APDU.waitExtension()V", noop},
            {"javacard.framework.APDU.isCommandChainingCLA()Z", apduChaining},
            {"javacard.framework.APDU.isSecureMessagingCLA()Z", apduSecureMessaging},
            {"javacard.framework.APDU.isISOInterindustryCLA()Z", apduInterindustry},
            {"javacard.framework.APDU.isValidCLA()Z", apduValidCla},
        };
        const std::string security = "javacard.security.";
        t[security + "MessageDigest.getInstance(BZ)Ljavacard/security/MessageDigest;"] = digestGetInstance;
        t[security +
          "MessageDigest.getInitializedMessageDigestInstance(BZ)Ljavacard/security/InitializedMessageDigest;"] =
            initializedDigestGetInstance;
        t[security + "MessageDigest$OneShot.open(B)Ljavacard/security/MessageDigest$OneShot;"] = digestOneShotOpen;
        t[security + "InitializedMessageDigest$OneShot.open(B)Ljavacard/security/InitializedMessageDigest$OneShot;"] =
            initializedDigestOneShotOpen;
        t[security + "MessageDigest.isIntermediateMessageDigestSupported(B)Z"] = returnFalse;
        for (const char* cls : {"MessageDigest", "InitializedMessageDigest", "MessageDigest$OneShot",
                                "InitializedMessageDigest$OneShot"}) {
            const std::string prefix = security + cls + ".";
            t[prefix + "update([BSS)V"] = digestUpdate;
            t[prefix + "doFinal([BSS[BS)S"] = digestDoFinal;
            t[prefix + "reset()V"] = digestReset;
            t[prefix + "getAlgorithm()B"] = digestAlgorithm;
            t[prefix + "getLength()B"] = digestLength;
        }
        t[security + "MessageDigest$OneShot.close()V"] = oneShotClose;
        t[security + "InitializedMessageDigest$OneShot.close()V"] = oneShotClose;
        t[security + "RandomData.getInstance(B)Ljavacard/security/RandomData;"] = randomGetInstance;
        t[security + "RandomData$OneShot.open(B)Ljavacard/security/RandomData$OneShot;"] = randomOneShotOpen;
        t[security + "RandomData$OneShot.close()V"] = oneShotClose;
        for (const char* cls : {"RandomData", "RandomData$OneShot"}) {
            const std::string prefix = security + cls + ".";
            t[prefix + "generateData([BSS)V"] = randomFill;
            t[prefix + "nextBytes([BSS)S"] = randomFill;
            t[prefix + "setSeed([BSS)V"] = randomSeed;
            t[prefix + "getAlgorithm()B"] = randomAlgorithm;
        }
        return t;
    }();
    return table;
}

bool endsWith(const std::string& text, const char* end)
{
    const std::size_t n = std::strlen(end);
    return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

} // namespace

void checkRange(NativeCall& c, const Object& array, std::int32_t offset, std::int32_t length)
{
    inRange(c, array, offset, length);
}

void writeArrayBytes(NativeCall& c, Ref array, std::size_t offset, const std::uint8_t* bytes, std::size_t count,
                     bool atomic)
{
    writeBytes(c, array, offset, bytes, count, atomic);
}

std::vector<std::uint8_t> argumentBytes(NativeCall& c, unsigned array, unsigned offset, unsigned length)
{
    return bytesOf(c, array, offset, length);
}

void writeArgumentBytes(NativeCall& c, unsigned array, unsigned offset, const std::vector<std::uint8_t>& bytes)
{
    Object& target = c.arrayArg(array, ArrayType::Byte);
    const std::int16_t at = c.shortArg(offset);
    inRange(c, target, at, static_cast<std::int32_t>(bytes.size()));
    writeBytes(c, c.refArg(array), static_cast<std::size_t>(at), bytes.data(), bytes.size(), false);
}

Native nativeFor(const std::string& fullName)
{
    if (const auto found = natives().find(fullName); found != natives().end())
        return found->second;
    if (const Native crypto = cryptoNativeFor(fullName))
        return crypto;
    if (const Native platform = globalPlatformNativeFor(fullName))
        return platform;
    // What every exception class has, and what every object does.
    if (endsWith(fullName, ".throwIt(S)V"))
        return throwIt;
    if (endsWith(fullName, ".getReason()S"))
        return getReason;
    if (endsWith(fullName, ".setReason(S)V"))
        return setReason;
    if (endsWith(fullName, "Exception.<init>(S)V"))
        return initReason;
    if (endsWith(fullName, ".<init>()V"))
        return noop;
    if (endsWith(fullName, ".equals(Ljava/lang/Object;)Z"))
        return sameObject;
    return unserved;
}

void prepareNatives(Vm& vm)
{
    prepareConstants();
    prepareGlobalPlatform(vm);
    registerNativeKind("aid", AidState::restore);
    registerNativeKind("pin", PinState::restore);
    registerNativeKind("digest", DigestState::restore);
    registerNativeKind("random", RandomState::restore);
    registerNativeKind("apdu", [](StateReader&) -> std::unique_ptr<NativeState> { return std::make_unique<ApduState>(); });
    registerCryptoKinds();
    registerGlobalPlatformKinds();
}

const Instance* runningInstance(Vm& vm)
{
    return currentInstance(vm);
}

const std::vector<std::uint8_t>& aidArgument(NativeCall& c, unsigned arg)
{
    return aidOf(c, arg);
}

Ref newAidObject(Vm& vm, const std::vector<std::uint8_t>& bytes)
{
    const Ref made = vm.newInstance(vm.api.aid);
    Object& object = vm.object(made);
    object.entryPoint = true;
    object.context = 0;
    auto state = std::make_unique<AidState>();
    state->bytes = bytes;
    object.native = std::move(state);
    return made;
}

std::int16_t NativeCall::shortArg(unsigned i) const
{
    if (args[i].kind != Kind::Short)
        vm.fault(method.fullName() + " takes a short as argument " + std::to_string(i));
    return args[i].value;
}

Ref NativeCall::refArg(unsigned i) const
{
    if (args[i].kind != Kind::Reference)
        vm.fault(method.fullName() + " takes a reference as argument " + std::to_string(i));
    return static_cast<Ref>(args[i].value);
}

Object& NativeCall::objectArg(unsigned i)
{
    const Ref ref = refArg(i);
    if (ref == nullRef)
        vm.throwNew(vm.api.nullPointer, std::nullopt, method.fullName() + " given null");
    Object& object = vm.object(ref);
    // The message is made only for a refusal: this runs for every argument
    // of every native call.
    if (behindFirewall(object, vm.currentContext()))
        vm.fault(method.fullName() + " given an object of another applet's context");
    return object;
}

Object& NativeCall::arrayArg(unsigned i, ArrayType type)
{
    Object& object = objectArg(i);
    if (object.array != type)
        vm.fault(method.fullName() + " given an argument of another type");
    return object;
}

void oneShotClose(NativeCall& c)
{
    c.objectArg(0).native.reset();
}

} // namespace tolvane::runtime
