// The GlobalPlatform Card API (org.globalplatform) as the simulated card
// serves it: GPSystem's life cycles and lookups, the secure channel of the
// applet's security domain, the global PIN, and registry entries. Each
// reaches the card manager through Vm::platform; a call the card does not
// serve throws, naming itself.

#include "core/runtime/api/api_table.h"
#include "core/runtime/natives/native_support.h"
#include "core/runtime/natives/platform.h"

#include <algorithm>
#include <map>

namespace tolvane::runtime {
namespace {

constexpr const char* gp = "org.globalplatform.";
constexpr std::uint8_t authenticated = 0x80;
constexpr std::int16_t cvmSuccess = 0, cvmFailure = -1;
constexpr std::int8_t globalPinId = 17;
constexpr std::uint8_t appSelectable = 0x07, locked = 0x80, cardSecured = 0x0F, cardLocked = 0x7F,
                       cardTerminated = 0xFF;

// A registry entry object: the AID it stands for.
struct RegistryState : NativeState {
    std::vector<std::uint8_t> aid;
    const char* stateKind() const override { return "gp-registry-entry"; }
    void save(StateWriter& out) const override { out.bytes(aid); }
    static std::unique_ptr<NativeState> restore(StateReader& in)
    {
        auto state = std::make_unique<RegistryState>();
        state->aid = in.bytes();
        return state;
    }
};

Platform& platformOf(NativeCall& c)
{
    if (!c.vm.platform)
        c.vm.throwNew(c.vm.api.systemException, 6, c.method.fullName() + " on a card without GlobalPlatform");
    return *c.vm.platform;
}

// The calling applet's AID and registry entry.
std::pair<std::vector<std::uint8_t>, Platform::Entry> caller(NativeCall& c)
{
    const Instance* instance = runningInstance(c.vm);
    if (!instance)
        c.vm.throwNew(c.vm.api.systemException, 6, c.method.fullName() + " outside any applet");
    const auto entry = platformOf(c).entry(instance->aid);
    return {instance->aid, entry.value_or(Platform::Entry{appSelectable, {0, 0, 0}, {}, false})};
}

bool hasPrivilege(const Platform::Entry& entry, unsigned number)
{
    const std::size_t byte = number / 8;
    return byte < entry.privileges.size() && (entry.privileges[byte] & (0x80 >> (number % 8))) != 0;
}

void returnBool(NativeCall& c, bool value)
{
    c.returnShort(value ? 1 : 0);
}

// The object of the runtime's own named `name`, made once.
Ref platformObject(NativeCall& c, const std::string& name, const Class* cls)
{
    auto& objects = c.vm.platformObjects;
    if (const auto found = objects.find(name); found != objects.end())
        return found->second;
    const Ref made = c.vm.newInstance(cls);
    Object& object = c.vm.object(made);
    object.context = 0;
    object.entryPoint = true;
    objects[name] = made;
    return made;
}

// An application state an applet may set itself: b1 to b3 set, b8 clear.
bool applicationSpecific(std::uint8_t state)
{
    return (state & 0x87) == 0x07;
}

// GPSystem

void getCardState(NativeCall& c)
{
    c.returnShort(static_cast<std::int8_t>(platformOf(c).cardState()));
}

void getCardContentState(NativeCall& c)
{
    c.returnShort(static_cast<std::int8_t>(caller(c).second.state));
}

void setCardContentState(NativeCall& c)
{
    const auto state = static_cast<std::uint8_t>(c.shortArg(0));
    const auto [aid, entry] = caller(c);
    const bool allowed = applicationSpecific(state) && !(entry.state & locked) && !entry.isDomain;
    if (allowed)
        platformOf(c).setState(aid, state);
    returnBool(c, allowed);
}

void lockCard(NativeCall& c)
{
    Platform& platform = platformOf(c);
    const bool allowed = hasPrivilege(caller(c).second, 3) && platform.cardState() == cardSecured;
    if (allowed)
        platform.setCardState(cardLocked);
    returnBool(c, allowed);
}

void terminateCard(NativeCall& c)
{
    Platform& platform = platformOf(c);
    const bool allowed = hasPrivilege(caller(c).second, 4);
    if (allowed)
        platform.setCardState(cardTerminated);
    returnBool(c, allowed);
}

void setAtrHistoricalBytes(NativeCall& c)
{
    const auto bytes = argumentBytes(c, 0, 1, 2);
    const bool allowed = hasPrivilege(caller(c).second, 5) && bytes.size() <= 15;
    if (allowed)
        platformOf(c).setHistoricalBytes(bytes);
    returnBool(c, allowed);
}

void getCvm(NativeCall& c)
{
    platformOf(c);
    if (static_cast<std::int8_t>(c.shortArg(0)) != globalPinId) {
        c.returnRef(nullRef);
        return;
    }
    c.returnRef(platformObject(c, "CVM", c.vm.apiClass("org.globalplatform.CVM")));
}

void getSecureChannel(NativeCall& c)
{
    platformOf(c);
    c.returnRef(platformObject(c, "SecureChannel", c.vm.apiClass("org.globalplatform.SecureChannel (the card's)")));
}

void getRegistryEntry(NativeCall& c)
{
    Platform& platform = platformOf(c);
    std::vector<std::uint8_t> aid = c.refArg(0) == nullRef ? caller(c).first : aidArgument(c, 0);
    if (!platform.entry(aid)) {
        c.returnRef(nullRef);
        return;
    }
    const Ref made = c.vm.newInstance(c.vm.apiClass("org.globalplatform.GPRegistryEntry"));
    Object& object = c.vm.object(made);
    object.context = 0;
    object.entryPoint = true;
    auto state = std::make_unique<RegistryState>();
    state->aid = std::move(aid);
    object.native = std::move(state);
    c.returnRef(made);
}

void getService(NativeCall& c)
{
    platformOf(c);
    c.returnRef(nullRef); // the card offers no global services
}

// GPRegistryEntry

const std::vector<std::uint8_t>& entryAid(NativeCall& c)
{
    auto* state = dynamic_cast<RegistryState*>(c.objectArg(0).native.get());
    if (!state)
        c.vm.fault("a registry entry without its AID");
    return state->aid;
}

Platform::Entry entryOf(NativeCall& c)
{
    const auto entry = platformOf(c).entry(entryAid(c));
    if (!entry)
        c.vm.throwNew(c.vm.api.systemException, 6, "the registry entry's application is no longer on the card");
    return *entry;
}

void entryGetAid(NativeCall& c)
{
    const auto& aid = entryAid(c);
    for (const auto& instance : c.vm.instances)
        if (instance.aid == aid) {
            c.returnRef(instance.aidObject);
            return;
        }
    c.returnRef(newAidObject(c.vm, aid));
}

void entryGetPrivileges(NativeCall& c)
{
    const auto privileges = entryOf(c).privileges;
    writeArgumentBytes(c, 1, 2, privileges);
    c.returnShort(static_cast<std::int16_t>(privileges.size()));
}

void entryGetState(NativeCall& c)
{
    c.returnShort(static_cast<std::int8_t>(entryOf(c).state));
}

void entryIsAssociated(NativeCall& c)
{
    returnBool(c, entryOf(c).domain == aidArgument(c, 1));
}

void entryIsPrivileged(NativeCall& c)
{
    const std::int16_t number = c.shortArg(1);
    returnBool(c, number >= 0 && hasPrivilege(entryOf(c), static_cast<unsigned>(number)));
}

void entrySetState(NativeCall& c)
{
    const auto state = static_cast<std::uint8_t>(c.shortArg(1));
    const Platform::Entry entry = entryOf(c);
    const bool own = runningInstance(c.vm) && runningInstance(c.vm)->aid == entryAid(c);
    const bool allowed = own && applicationSpecific(state) && !(entry.state & locked);
    if (allowed)
        platformOf(c).setState(entryAid(c), state);
    returnBool(c, allowed);
}

// CVM: the global PIN. Its try counter stays outside transactions, as a
// PIN's does.

GlobalPin& pin(NativeCall& c)
{
    return platformOf(c).globalPin();
}

bool mayManage(NativeCall& c)
{
    return hasPrivilege(caller(c).second, 6);
}

void cvmIsActive(NativeCall& c)
{
    returnBool(c, !pin(c).value.empty());
}

void cvmIsSubmitted(NativeCall& c)
{
    returnBool(c, pin(c).submitted);
}

void cvmIsVerified(NativeCall& c)
{
    returnBool(c, pin(c).verified);
}

void cvmIsBlocked(NativeCall& c)
{
    returnBool(c, pin(c).blocked);
}

void cvmTriesRemaining(NativeCall& c)
{
    c.returnShort(pin(c).tries);
}

void cvmUpdate(NativeCall& c)
{
    const auto value = argumentBytes(c, 1, 2, 3);
    const auto format = static_cast<std::uint8_t>(c.shortArg(4));
    GlobalPin& global = pin(c);
    const bool allowed = mayManage(c) && !value.empty() && value.size() <= 32 && format >= 1 && format <= 3;
    if (allowed) {
        global.value = value;
        global.format = format;
        global.tries = global.limit;
        global.blocked = false;
        global.verified = global.submitted = false;
    }
    returnBool(c, allowed);
}

void cvmResetState(NativeCall& c)
{
    GlobalPin& global = pin(c);
    global.verified = global.submitted = false;
    returnBool(c, true);
}

void cvmBlockState(NativeCall& c)
{
    GlobalPin& global = pin(c);
    global.blocked = true;
    global.verified = false;
    returnBool(c, true);
}

void cvmResetAndUnblock(NativeCall& c)
{
    GlobalPin& global = pin(c);
    const bool allowed = mayManage(c);
    if (allowed) {
        global.blocked = false;
        global.tries = global.limit;
        global.verified = global.submitted = false;
    }
    returnBool(c, allowed);
}

void cvmSetTryLimit(NativeCall& c)
{
    const std::int16_t limit = c.shortArg(1);
    GlobalPin& global = pin(c);
    const bool allowed = mayManage(c) && limit > 0 && limit <= 127;
    if (allowed) {
        global.limit = static_cast<std::uint8_t>(limit);
        global.tries = global.limit;
    }
    returnBool(c, allowed);
}

void cvmVerify(NativeCall& c)
{
    const auto offered = argumentBytes(c, 1, 2, 3);
    const auto format = static_cast<std::uint8_t>(c.shortArg(4));
    GlobalPin& global = pin(c);
    if (global.value.empty() || global.blocked) {
        c.returnShort(cvmFailure);
        return;
    }
    global.submitted = true;
    if (format == global.format && offered == global.value) {
        global.tries = global.limit;
        global.verified = true;
        c.returnShort(cvmSuccess);
        return;
    }
    global.verified = false;
    if (global.tries > 0)
        --global.tries;
    global.blocked = global.tries == 0;
    c.returnShort(cvmFailure);
}

// SecureChannel: the session of the command's logical channel, with the
// applet's security domain.

[[noreturn]] void refuseWith(NativeCall& c, std::uint16_t sw, const std::string& why)
{
    c.vm.throwNew(c.vm.api.isoException, sw, why);
}

// The session of the command's channel, where it is the caller's own
// security domain's.
gp::CardChannel* ownSession(NativeCall& c)
{
    return platformOf(c).session(c.vm.channel, caller(c).second.domain);
}

gp::CardChannel& openSession(NativeCall& c)
{
    gp::CardChannel* session = ownSession(c);
    if (!session || !session->isOpen())
        refuseWith(c, 0x6985, "no secure channel session is open on logical channel " + std::to_string(c.vm.channel));
    return *session;
}

void processSecurity(NativeCall& c)
{
    Platform& platform = platformOf(c);
    const auto [aid, entry] = caller(c);
    Object& apdu = c.objectArg(1);
    auto* state = dynamic_cast<ApduState*>(apdu.native.get());
    if (!state)
        c.vm.fault("processSecurity given an APDU without its command");
    const std::uint8_t ins = state->command.size() > 1 ? state->command[1] : 0;
    if (ins != 0x50 && ins != 0x82)
        refuseWith(c, 0x6D00, "processSecurity takes INITIALIZE UPDATE and EXTERNAL AUTHENTICATE");
    // The command as it came: the buffer's header and the data.
    const std::vector<std::uint8_t> command(state->command.begin(),
                                            state->command.begin() +
                                                static_cast<long>(std::min<std::size_t>(state->command.size(),
                                                                                        5 + state->lc)));
    const Response answer = platform.securityCommand(entry.domain, command, c.vm.channel);
    if (answer.sw != 0x9000)
        refuseWith(c, answer.sw, answer.cardReason);
    Object& buffer = c.vm.object(c.vm.apduBuffer);
    if (answer.data.size() + 5 > buffer.bytes.size())
        c.vm.fault("an answer larger than the APDU buffer");
    std::copy(answer.data.begin(), answer.data.end(), buffer.bytes.begin() + 5);
    state->received = state->lc;
    c.returnShort(static_cast<std::int16_t>(answer.data.size()));
}

// SecureChannelx2's form: the command at baBuffer[inOffset, inOffset +
// inLength), the answer written at outOffset, its length returned.
void processSecurityInBuffer(NativeCall& c)
{
    Platform& platform = platformOf(c);
    const auto [aid, entry] = caller(c);
    const auto command = argumentBytes(c, 1, 2, 3);
    if (command.size() < 4 || (command[1] != 0x50 && command[1] != 0x82))
        refuseWith(c, 0x6D00, "processSecurity takes INITIALIZE UPDATE and EXTERNAL AUTHENTICATE");
    const Response answer = platform.securityCommand(entry.domain, command, c.vm.channel);
    if (answer.sw != 0x9000)
        refuseWith(c, answer.sw, answer.cardReason);
    writeArgumentBytes(c, 1, 4, answer.data);
    c.returnShort(static_cast<std::int16_t>(answer.data.size()));
}

void unwrap(NativeCall& c)
{
    gp::CardChannel& session = openSession(c);
    const auto command = argumentBytes(c, 1, 2, 3);
    auto plain = session.unwrap(command);
    if (const auto* why = std::get_if<std::string>(&plain)) {
        platformOf(c).endSession(c.vm.channel, caller(c).second.domain);
        refuseWith(c, 0x6982, *why + "; the secure channel session is closed");
    }
    const auto& bytes = std::get<std::vector<std::uint8_t>>(plain);
    writeArgumentBytes(c, 1, 2, bytes);
    c.returnShort(static_cast<std::int16_t>(bytes.size()));
}

// The response data with its status word last, protected as the level
// asks; what is written back is the data to send, without the status word.
void wrap(NativeCall& c)
{
    gp::CardChannel& session = openSession(c);
    const auto bytes = argumentBytes(c, 1, 2, 3);
    if (bytes.size() < 2)
        refuseWith(c, 0x6F00, "wrap takes the response data and its status word");
    const std::uint16_t sw = static_cast<std::uint16_t>(bytes[bytes.size() - 2] << 8 | bytes.back());
    const auto data = session.protect({bytes.begin(), bytes.end() - 2}, sw);
    writeArgumentBytes(c, 1, 2, data);
    c.returnShort(static_cast<std::int16_t>(data.size()));
}

// Data deciphered or enciphered under the session's key for data: whole
// blocks, written back in place.
void cryptData(NativeCall& c, bool encrypting)
{
    gp::CardChannel& session = openSession(c);
    const auto bytes = argumentBytes(c, 1, 2, 3);
    const char* name = encrypting ? "encryptData" : "decryptData";
    if (bytes.empty() || bytes.size() % (session.protocol() == gp::Protocol::Scp03 ? 16 : 8) != 0)
        refuseWith(c, 0x6A80, std::string(name) + " of " + std::to_string(bytes.size()) + " bytes, not whole blocks");
    const auto out = encrypting ? session.encryptData(bytes) : session.decryptData(bytes);
    writeArgumentBytes(c, 1, 2, out);
    c.returnShort(static_cast<std::int16_t>(out.size()));
}

void decryptData(NativeCall& c)
{
    cryptData(c, false);
}

void encryptData(NativeCall& c)
{
    cryptData(c, true);
}

void resetSecurity(NativeCall& c)
{
    platformOf(c).endSession(c.vm.channel, caller(c).second.domain);
}

void setSecurityLevel(NativeCall& c)
{
    const auto wanted = static_cast<std::uint8_t>(c.shortArg(1));
    gp::CardChannel& session = openSession(c);
    // AUTHENTICATED is the session's, not a level to ask for.
    if (!session.raiseLevel(static_cast<std::uint8_t>(wanted & ~authenticated)))
        refuseWith(c, 0x6985, "security level " + std::to_string(wanted & 0xFF) + " lowers the session's " +
                                  std::to_string(session.securityLevel()) + " or asks what it does not offer");
}

void getSecurityLevel(NativeCall& c)
{
    const gp::CardChannel* session = ownSession(c);
    const std::uint8_t level =
        session && session->isOpen() ? static_cast<std::uint8_t>(authenticated | session->securityLevel()) : 0;
    c.returnShort(static_cast<std::int8_t>(level));
}

const std::map<std::string, Native>& gpNatives()
{
    static const std::map<std::string, Native> table = [] {
        std::map<std::string, Native> t;
        const std::string system = std::string(gp) + "GPSystem.";
        t[system + "getCardState()B"] = getCardState;
        t[system + "getCardContentState()B"] = getCardContentState;
        t[system + "setCardContentState(B)Z"] = setCardContentState;
        t[system + "lockCard()Z"] = lockCard;
        t[system + "terminateCard()Z"] = terminateCard;
        t[system + "setATRHistBytes([BSB)Z"] = setAtrHistoricalBytes;
        t[system + "getCVM(B)Lorg/globalplatform/CVM;"] = getCvm;
        t[system + "getSecureChannel()Lorg/globalplatform/SecureChannel;"] = getSecureChannel;
        t[system + "getRegistryEntry(Ljavacard/framework/AID;)Lorg/globalplatform/GPRegistryEntry;"] = getRegistryEntry;
        t[system + "getService(Ljavacard/framework/AID;S)Lorg/globalplatform/GlobalService;"] = getService;
        const std::string entry = std::string(gp) + "GPRegistryEntry.";
        t[entry + "getAID()Ljavacard/framework/AID;"] = entryGetAid;
        t[entry + "getPrivileges([BS)S"] = entryGetPrivileges;
        t[entry + "getState()B"] = entryGetState;
        t[entry + "isAssociated(Ljavacard/framework/AID;)Z"] = entryIsAssociated;
        t[entry + "isPrivileged(B)Z"] = entryIsPrivileged;
        t[entry + "setState(B)Z"] = entrySetState;
        const std::string cvm = std::string(gp) + "CVM.";
        t[cvm + "isActive()Z"] = cvmIsActive;
        t[cvm + "isSubmitted()Z"] = cvmIsSubmitted;
        t[cvm + "isVerified()Z"] = cvmIsVerified;
        t[cvm + "isBlocked()Z"] = cvmIsBlocked;
        t[cvm + "getTriesRemaining()B"] = cvmTriesRemaining;
        t[cvm + "update([BSBB)Z"] = cvmUpdate;
        t[cvm + "resetState()Z"] = cvmResetState;
        t[cvm + "blockState()Z"] = cvmBlockState;
        t[cvm + "resetAndUnblockState()Z"] = cvmResetAndUnblock;
        t[cvm + "setTryLimit(B)Z"] = cvmSetTryLimit;
        t[cvm + "verify([BSBB)S"] = cvmVerify;
        for (const char* name : {"SecureChannel.", "SecureChannelx.", "SecureChannelx2."}) {
            const std::string channel = std::string(gp) + name;
            t[channel + "processSecurity(Ljavacard/framework/APDU;)S"] = processSecurity;
            t[channel + "wrap([BSS)S"] = wrap;
            t[channel + "unwrap([BSS)S"] = unwrap;
            t[channel + "decryptData([BSS)S"] = decryptData;
            t[channel + "encryptData([BSS)S"] = encryptData;
            t[channel + "resetSecurity()V"] = resetSecurity;
            t[channel + "getSecurityLevel()B"] = getSecurityLevel;
        }
        t[std::string(gp) + "SecureChannelx.setSecurityLevel(B)V"] = setSecurityLevel;
        t[std::string(gp) + "SecureChannelx2.processSecurity([BSSS)S"] = processSecurityInBuffer;
        return t;
    }();
    return table;
}

} // namespace

Native globalPlatformNativeFor(const std::string& fullName)
{
    const auto found = gpNatives().find(fullName);
    return found == gpNatives().end() ? nullptr : found->second;
}

void registerGlobalPlatformKinds()
{
    registerNativeKind("gp-registry-entry", RegistryState::restore);
}

void prepareGlobalPlatform(Vm& vm)
{
    // The card's secure channel object answers SecureChannel and both of
    // its extensions: a class of the runtime's own with all their methods,
    // found by name and type as the API's own objects are.
    Package* package = nullptr;
    for (const auto& candidate : vm.packages())
        if (candidate->api && candidate->name == "org.globalplatform")
            package = candidate.get();
    if (!package)
        return;
    auto cls = std::make_unique<Class>();
    cls->package = package;
    cls->name = "org.globalplatform.SecureChannel (the card's)";
    cls->super = vm.api.object;
    for (const char* name : {"SecureChannel", "SecureChannelx", "SecureChannelx2"}) {
        const Class* iface = vm.apiClass(std::string(gp) + name);
        cls->interfaces.push_back(iface);
        for (const Method* method : iface->virtuals)
            if (method && std::none_of(cls->virtuals.begin(), cls->virtuals.end(), [&](const Method* own) {
                    return own->name == method->name && own->descriptor == method->descriptor;
                }))
                cls->virtuals.push_back(method);
    }
    package->classes.push_back(std::move(cls));
}

} // namespace tolvane::runtime
