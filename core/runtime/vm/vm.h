#pragma once

// The inside of the simulated card: its packages linked (the API's and those
// loaded), its heap of objects and arrays, and the interpreter that runs
// their bytecode. Every word keeps its kind and every access is bounded, so
// that a method the verifier would refuse ends in a Java exception with a
// diagnostic, never in a read outside an object.

#include "core/cap/load_file.h"
#include "core/cap/package.h"
#include "core/runtime/vm/outcome.h"
#include "core/runtime/vm/profile.h"
#include "core/runtime/vm/snapshot.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <span>
#include <vector>

namespace tolvane::runtime {

using Ref = std::uint16_t; // an object's handle; 0 is null
constexpr Ref nullRef = 0;

enum class Kind : std::uint8_t { Empty, Short, IntHigh, IntLow, Reference, ReturnAddress };

// One 16-bit word of a frame or a field, with what it holds.
struct Word {
    std::int16_t value = 0;
    Kind kind = Kind::Empty;
};

enum class ArrayType : std::uint8_t { None, Boolean, Byte, Short, Int, Reference };
enum class Memory : std::uint8_t { Persistent, ClearOnReset, ClearOnDeselect };

struct Class;
struct Method;
struct Package;
class Vm;
class Platform;

// What an API object keeps beyond its fields (a PIN, a digest's input, ...).
struct NativeState {
    virtual ~NativeState() = default;
    virtual void reset() {}         // at card reset: what it keeps in transient memory is cleared
    virtual void cleared(Memory) {} // its transient memory of that kind was cleared
    // For the card file: the name its restorer is registered under, and what
    // a power loss leaves of it (as reset() would).
    virtual const char* stateKind() const { return nullptr; }
    virtual void save(StateWriter&) const {}
    // What a debugger shows of it, by name: what a developer needs to see
    // (a PIN's tries, a key's size), never a secret.
    virtual std::vector<std::pair<std::string, std::string>> shown() const { return {}; }
};

struct Object {
    const Class* cls = nullptr; // an instance's class; a reference array's element class (null: any)
    ArrayType array = ArrayType::None;
    Memory memory = Memory::Persistent;
    std::uint16_t context = 0; // the package context that owns it; 0 is the runtime's own
    bool global = false;       // a global array: any context may use it, none may keep it
    bool entryPoint = false;   // the runtime's objects that any context may call
    bool temporary = false;    // an entry point that may not be kept either (the APDU object)
    bool marked = false;
    std::vector<std::uint8_t> bytes; // boolean and byte arrays
    std::vector<std::int16_t> shorts;
    std::vector<std::int32_t> ints;
    std::vector<Ref> refs;   // reference arrays
    std::vector<Word> cells; // an instance's fields
    std::unique_ptr<NativeState> native;

    std::size_t length() const;
    std::size_t footprint() const;
};

// Whether code running in `context` meets the firewall at `object`: another
// applet's object that is neither a global array nor an entry point. The
// runtime's own context (0) reaches everything.
inline bool behindFirewall(const Object& object, std::uint16_t context)
{
    return object.context != context && context != 0 && !object.global && !object.entryPoint;
}

// An API method served by the runtime itself.
struct NativeCall;
using Native = void (*)(NativeCall&);

enum class Returns : std::uint8_t { Nothing, Short, Int, Reference };

struct Method {
    const Package* package = nullptr;
    const Class* owner = nullptr;
    std::string name;                    // "process", or by offset where nothing names it
    unsigned offset = 0;                 // of its header in Method
    unsigned codeStart = 0, codeEnd = 0; // its bytecode in the package's code
    unsigned nargs = 0, maxLocals = 0, maxStack = 0;
    bool isStatic = false;
    Native native = nullptr; // API methods
    std::string descriptor;  // API methods: "([BS)V"
    Returns returns = Returns::Nothing;
    std::string fullName() const; // "javacard.framework.Util.arrayCopy([BS[BSS)S"
};

// Where a class implements an interface: the interface's method tokens as
// the class's public virtual tokens.
struct InterfaceMap {
    const Class* iface = nullptr;
    std::vector<std::uint8_t> tokens;
};

struct Class {
    const Package* package = nullptr;
    std::string name;    // "javacard.framework.Applet", "com/acme/Wallet", or by offset
    unsigned offset = 0; // in Class, for a loaded package's classes
    bool isInterface = false, isShareable = false;
    const Class* super = nullptr;
    std::vector<const Class*> interfaces; // direct ones: implemented, or extended by an interface
    std::vector<InterfaceMap> maps;
    std::uint16_t cells = 0, firstCell = 0;               // all instance cells; where its own declared ones begin
    std::vector<const Method*> virtuals, packageVirtuals; // by token, inherited ones included
    std::vector<const Method*> statics;                   // API classes: static methods and constructors by token
    std::vector<unsigned> staticFieldOffsets;             // loaded packages: exported static fields by token
    std::vector<const Method*> exportedStatics;           // loaded packages: exported static methods by token

    bool isSubclassOf(const Class* other) const; // itself, a superclass or an interface it has
    const Method* interfaceMethod(const Class* iface, unsigned token) const;
};

// A ConstantPool entry resolved once, at link time.
struct PoolSlot {
    std::uint8_t kind = 0;
    const Class* cls = nullptr;     // a class; the class of a field or method
    std::uint16_t cell = 0;         // an instance field's cell
    const Method* method = nullptr; // a static method; a super method
    std::uint8_t token = 0;         // a virtual method's
    bool packageToken = false;      // a package-visible virtual method
    std::uint8_t argWords = 0;      // a virtual method's, this included
    Package* staticsOf = nullptr;   // a static field's package
    std::uint16_t staticOffset = 0; // and its offset in that package's image
};

struct HandlerEntry {
    unsigned start = 0, end = 0, handler = 0;
    const Class* catches = nullptr; // null: everything
};

struct LineEntry {
    unsigned start = 0, end = 0, line = 0; // offsets in Method, end excluded
};

struct VariableEntry {
    unsigned index = 0;
    std::string name, descriptor;
    unsigned start = 0, end = 0; // where it holds a value: offsets in Method, end excluded
};

struct MethodDebug {
    std::string cls, method, file;
    std::vector<LineEntry> lines;
    std::vector<VariableEntry> variables;
    std::string descriptor;             // "(Ljavacard/framework/APDU;)V"
    unsigned lineAt(unsigned pc) const; // 0 where no line holds pc
    // Its source by its package's folders: "com/acme/wallet/Wallet.java".
    std::string sourcePath() const;
};

// A class's instance fields as Debug names them, by token.
struct FieldEntry {
    std::string name, descriptor;
    unsigned token = 0;
};

struct ClassDebug {
    std::string name, file;
    std::vector<FieldEntry> fields;
};

struct Package {
    std::string name; // "javacard.framework", or "com/acme/wallet"
    std::vector<std::uint8_t> aid;
    unsigned major = 0, minor = 0;
    std::uint16_t context = 0; // the objects its applets make belong to it; 0 for the API
    bool api = false;
    std::vector<std::uint8_t> code; // Method's content
    std::vector<std::unique_ptr<Class>> classes;
    std::vector<Class*> byToken; // API packages: classes by token; loaded ones: exported classes by token
    std::map<unsigned, Class*> classAt;
    std::vector<std::unique_ptr<Method>> methods;
    std::map<unsigned, Method*> methodAt;
    std::vector<PoolSlot> pool;
    std::vector<HandlerEntry> handlers;
    std::vector<std::uint8_t> staticBytes; // the static field image
    std::vector<Ref> staticRefs;           // its references, the first 2 × count bytes of the image
    std::map<unsigned, MethodDebug> debug; // by method offset
    std::map<unsigned, ClassDebug> classDebug; // by class offset
    std::vector<std::pair<std::vector<std::uint8_t>, unsigned>> applets; // AID, install method offset
};

// A Java exception on its way: the thrown object.
struct Thrown {
    Ref object = nullRef;
};

// What ends a command outright, past any handler: the instruction budget,
// the call depth.
struct Halt {
    explicit Halt(std::string why) : reason(std::move(why)) {}
    std::string reason;
    std::vector<StackFrame> frames; // where it stopped
};

// The classes and constants of the API that the runtime itself makes or
// calls, found once when the API is installed.
struct ApiClasses {
    const Class *object = nullptr, *throwable = nullptr, *applet = nullptr, *apdu = nullptr, *aid = nullptr,
                *shareable = nullptr, *cardException = nullptr, *cardRuntimeException = nullptr,
                *isoException = nullptr, *systemException = nullptr, *apduException = nullptr,
                *transactionException = nullptr, *pinException = nullptr, *cryptoException = nullptr,
                *ownerPin = nullptr, *messageDigest = nullptr, *randomData = nullptr, *arrayIndex = nullptr,
                *negativeSize = nullptr, *nullPointer = nullptr, *classCast = nullptr, *arithmetic = nullptr,
                *security = nullptr, *arrayStore = nullptr, *multiSelectable = nullptr, *extendedLength = nullptr;
    unsigned process = 0, select = 0, deselect = 0, shareableObject = 0; // Applet's tokens
};

// An applet instance: what register() made.
struct Instance {
    std::vector<std::uint8_t> aid;
    Ref applet = nullRef;
    const Package* package = nullptr;
    Ref aidObject = nullRef; // the runtime's AID object for it
};

// The command the APDU object holds, and what the applet has sent of its
// answer.
struct ApduState : NativeState {
    std::vector<std::uint8_t> command;
    unsigned lc = 0;         // the data's length
    unsigned ne = 256;       // what Le asks for (256 for 00 or none; 65536 for an extended 0000)
    unsigned dataOffset = 5; // where the data begins: 7 in an extended command
    unsigned received = 0;   // the data's bytes given to the applet so far
    unsigned maxOutgoing = 256; // what one answer may hold: more for an applet that takes extended lengths
    bool hasLe = false;
    std::int8_t state = 0;    // APDU.STATE_*
    unsigned declared = 0;    // setOutgoingLength's
    bool sentAndDone = false; // setOutgoingAndSend() ended the answer
    std::vector<std::uint8_t> response;
    bool t0 = false;
    // Nothing of a command outlives the power: the card file keeps only
    // that the APDU object is there.
    const char* stateKind() const override { return "apdu"; }
    std::vector<std::pair<std::string, std::string>> shown() const override
    {
        return {{"state", std::to_string(state)},     {"Lc", std::to_string(lc)},
                {"Ne", std::to_string(ne)},           {"received", std::to_string(received)},
                {"outgoing", std::to_string(declared)}, {"T=0", t0 ? "true" : "false"}};
    }
};

// The logical channel a command's class byte names: with b7 set (40 to 7F,
// and C0 to FF in the proprietary space) 4 to 19 from its low nibble; 20 to
// 3F, reserved, name none, so channel 0; the others 0 to 3 from their low
// two bits. On a card of 4 channels, the low two bits of any class byte.
inline unsigned channelOfCla(std::uint8_t cla, unsigned channels = 20)
{
    if (channels == 4)
        return cla & 0x03;
    if (cla & 0x40)
        return 4 + (cla & 0x0F);
    return (cla & 0xE0) == 0x20 ? 0 : cla & 0x03;
}

struct Frame {
    const Method* method = nullptr;
    std::uint32_t pc = 0;     // the instruction running (at a call: the call)
    std::uint32_t resume = 0; // where the frame goes on after a call returns
    std::uint32_t locals = 0, stackBase = 0, sp = 0, stackEnd = 0;
    std::uint16_t context = 0;
};

struct JournalEntry {
    enum class Where : std::uint8_t { Bytes, Shorts, Ints, Refs, Cells, StaticBytes, StaticRefs } where;
    Ref object = nullRef;
    Package* package = nullptr;
    std::uint32_t index = 0;
    std::int32_t old = 0;
    Kind oldKind = Kind::Empty;
};

// What watches a run an instruction at a time (coverage, a debugger). With
// none, the interpreter pays nothing for it.
class Tracer {
public:
    virtual ~Tracer() = default;
    // Before the instruction at the innermost frame's pc runs; `slice`
    // instructions more run before the next call (1: every one is seen).
    virtual void step(Vm& vm) = 0;
    virtual std::uint64_t slice() const { return 1; }
    // Before an instruction that carries a breakpoint runs.
    virtual void breakpoint(Vm&) {}
    // A Java exception thrown, before a handler takes it; `caught`: one will.
    virtual void thrown(Vm&, Ref, bool /*caught*/) {}
};

class Vm {
public:
    explicit Vm(const CardSettings& settings);

    // Linking.
    void installApi();
    Package& link(const LoadFile& file, const std::string& path);
    const std::vector<std::unique_ptr<Package>>& packages() const { return packages_; }

    // The heap.
    Ref allocate(std::unique_ptr<Object> object);
    Ref newArray(ArrayType type, std::size_t length, Memory memory, const Class* element = nullptr);
    Ref newInstance(const Class* cls);
    Object& object(Ref ref); // a live object, else a SecurityException
    bool live(Ref ref) const { return ref != nullRef && ref < heap_.size() && heap_[ref]; }
    std::size_t freeMemory(Memory memory) const;
    void clearTransient(Memory memory, std::optional<std::uint16_t> context);
    void resetNatives(); // what API objects keep in transient memory, cleared at card reset
    const Class* apiClass(const std::string& name) const; // "javacard.security.AESKey"
    void collectGarbage();
    // The card's memory for the card file (what a power loss leaves), and
    // back, once the same packages are linked again in the same order.
    // Throws SnapshotError where the bytes do not fit this card.
    void saveMemory(StateWriter& out) const;
    void restoreMemory(StateReader& in);
    // Takes a package off the card, with what its static fields alone kept;
    // false (and nothing changed but garbage collected) where objects of its
    // classes are still reached. Its applet instances must be gone.
    bool removePackage(const Package* package);
    // Whether removePackage would take `package` once the instances
    // `going` are gone; nothing changes.
    bool packageRemovable(const Package* package, std::span<const std::vector<std::uint8_t>> going);

    // Writes to persistent memory go through the transaction's journal.
    void setByte(Ref array, std::size_t index, std::uint8_t value);
    void setShort(Ref array, std::size_t index, std::int16_t value);
    void setInt(Ref array, std::size_t index, std::int32_t value);
    void setRef(Ref array, std::size_t index, Ref value);
    void setCell(Ref object, std::size_t index, Word value);
    void setStaticByte(Package& package, std::size_t index, std::uint8_t value);
    void setStaticRef(Package& package, std::size_t index, Ref value);
    // What an API object keeps outside the heap, written inside a
    // transaction: `undo` puts it back if the transaction is aborted.
    void journalNative(std::function<void()> undo, std::size_t bytes);
    void beginTransaction();
    void commitTransaction();
    void abortTransaction();
    bool inTransaction() const { return transaction_; }
    std::size_t journalBytes() const { return journalBytes_; }
    static constexpr std::size_t commitCapacity = 4096;

    // Exceptions.
    [[noreturn]] void throwNew(const Class* cls, std::optional<unsigned> reason, const std::string& detail = {});
    [[noreturn]] void fault(const std::string& detail); // a SecurityException: what a defensive VM throws
    void noteThrow(Ref thrown, const std::string& detail);
    Diagnostic diagnosticOf(Ref thrown) const;
    Ref exceptionInstance(const Class* cls); // the runtime's own, one per class
    std::optional<unsigned> reasonOf(Ref thrown);

    // Running. Calls `method` with `args` in `context`; a Java exception not
    // caught comes out as Thrown.
    std::vector<Word> call(const Method* method, const std::vector<Word>& args, std::uint16_t context);
    std::uint16_t currentContext() const { return frames_.empty() ? 0 : frames_.back().context; }
    // The context that called into the current one through a shareable
    // interface, if any.
    std::optional<std::uint16_t> previousContext() const;
    const Method* virtualMethod(const Object& target, unsigned token) const;

    // The runtime environment's state, kept here for the natives.
    const CardSettings settings;
    Platform* platform = nullptr; // the card's GlobalPlatform side, where it has one
    Profile* profile = nullptr;   // where a run's instructions go, while it is asked for
    Tracer* tracer = nullptr;     // what watches each instruction, while it is asked for
    // The frames of the command running, outermost first, and their words.
    const std::vector<Frame>& frames() const { return frames_; }
    Word local(const Frame& frame, unsigned index) const; // an empty word past the frame's locals
    const Object* peek(Ref ref) const { return live(ref) ? heap_[ref].get() : nullptr; }
    // Breakpoints: the instruction at `pc` of `package` gives the tracer a
    // call before it runs. False where no instruction begins there.
    bool setBreakpoint(Package& package, unsigned pc);
    void clearBreakpoints();
    // The opcode at `pc`, as the package has it under any breakpoint.
    std::uint8_t opcodeAt(const Package& package, unsigned pc) const;
    // "com/acme/Wallet.credit": a method as profiles and diagnostics name it.
    std::string methodName(const Method* method) const;
    // Objects of the runtime's own that natives hand out and keep (the
    // secure channel, the global PIN's CVM), by name.
    std::map<std::string, Ref> platformObjects;
    ApiClasses api;
    std::vector<Instance> instances;
    // Logical channels: which are open, the applet selected on each, and the
    // channel of the command running.
    static constexpr unsigned channelCount = 20;
    std::array<bool, channelCount> channelOpen{true};
    std::array<std::optional<std::size_t>, channelCount> selectedOn;
    unsigned channel = 0;
    std::optional<std::size_t>& selected() { return selectedOn[channel]; }
    std::optional<std::size_t> installing; // the instance being installed
    std::vector<std::uint8_t> installingAid;
    const Package* installingPackage = nullptr;
    bool selecting = false;
    Ref apduObject = nullRef, apduBuffer = nullRef;
    bool gcRequested = false;
    std::uint64_t budgetLeft = 0; // of the current slice of the command's budget
    void startBudget();           // a command's whole budget, from its first slice
    void nextSlice();             // the next slice, else a Halt: the budget is spent, or a stop was asked for
    std::uint64_t instructionsRun() const;
    std::vector<Diagnostic> traced;   // with trace: every exception thrown during the command
    std::vector<Diagnostic> unserved; // the calls of the API the runtime could not serve, during the command
    const Method* apiCall = nullptr;  // the API method the runtime is serving, while no bytecode runs under it

    // Marks the API method being served (or, with null, bytecode running
    // under it) until the scope ends, so that what it throws names it.
    struct ServingApi {
        ServingApi(Vm& vm, const Method* method) : vm_(vm), previous_(vm.apiCall) { vm.apiCall = method; }
        ~ServingApi() { vm_.apiCall = previous_; }
        ServingApi(const ServingApi&) = delete;
        ServingApi& operator=(const ServingApi&) = delete;

    private:
        Vm& vm_;
        const Method* previous_;
    };

private:
    void execute(std::size_t depth);
    [[gnu::noinline, gnu::cold]] void profileEnter(const Method* method);
    [[gnu::noinline, gnu::cold]] void profileLeave();
    [[gnu::noinline, gnu::cold]] void sliceEnded();
    [[gnu::noinline, gnu::cold]] void passBreakpoint(unsigned pc);
    struct Resume {}; // the loop taken up again at the innermost frame's pc
    void rearm();
    [[gnu::noinline, gnu::cold]] void traceThrow(Ref thrown);
    bool wouldCatch(Ref thrown) const;
    void run(std::size_t depth);
    void invoke(const Method* method, std::uint32_t resume);
    bool handle(Ref thrown, std::size_t depth);
    std::vector<StackFrame> stackNow() const;
    StackFrame frameOf(const Method* method, unsigned pc) const;
    void reserveJournal(std::size_t bytes); // room in the commit capacity, else a TransactionException
    void journal(JournalEntry entry, std::size_t bytes);
    Ref place(std::unique_ptr<Object> object); // a free handle, else a new one
    static constexpr std::uint8_t breakpointOpcode = 0xFE; // impdep1, which no package holds
    static constexpr std::size_t handleCount = 0x10000; // what a 16-bit handle names, null included
    static constexpr std::size_t reservedHandles = 64;  // kept for the runtime's exception objects
    void mark(Ref ref);
    void checkReferences() const; // of a state read from a card file
    // Marks what the roots reach: all but `without`'s statics and the applet
    // instances of `going`.
    void markRoots(const Package* without, std::span<const std::vector<std::uint8_t>> going = {});
    void sweep();
    void linkApiClass(Package& package, Class& cls);

    std::vector<std::unique_ptr<Package>> packages_;
    std::vector<std::unique_ptr<Object>> heap_;
    std::vector<Ref> freeRefs_;
    std::size_t used_[3] = {};
    bool transaction_ = false;
    std::vector<JournalEntry> journal_;
    std::vector<std::function<void()>> nativeJournal_;
    std::size_t journalBytes_ = 0;
    std::vector<Word> stack_;
    std::vector<Frame> frames_;
    std::map<const Class*, Ref> exceptionInstances_;
    std::map<Ref, Diagnostic> throws_;
    std::uint16_t nextContext_ = 1;
    std::uint64_t budgetBeyond_ = 0; // what the budget holds past the current slice
    // The opcodes that breakpoints stand over, by package and offset.
    std::map<std::pair<const Package*, unsigned>, std::uint8_t> breakpoints_;
    std::pair<Ref, std::uint64_t> lastTraced_{nullRef, ~std::uint64_t{0}}; // a throw told once
    std::optional<std::pair<const Package*, unsigned>> rearm_; // a breakpoint whose instruction is running
    std::vector<Word> result_;
};

// The arguments of a native call and its result.
struct NativeCall {
    Vm& vm;
    const Method& method;
    Word* args;
    Word result[2] = {};

    std::int16_t shortArg(unsigned i) const;
    Ref refArg(unsigned i) const;  // may be null
    Object& objectArg(unsigned i); // not null: else NullPointerException
    Object& arrayArg(unsigned i, ArrayType type);
    void returnShort(std::int16_t value) { result[0] = {value, Kind::Short}; }
    void returnRef(Ref ref) { result[0] = {static_cast<std::int16_t>(ref), Kind::Reference}; }
};

// The natives the runtime serves, by their full name; a method of the API
// not among them throws when called, naming itself.
Native nativeFor(const std::string& fullName);
void prepareNatives(Vm& vm);

} // namespace tolvane::runtime
