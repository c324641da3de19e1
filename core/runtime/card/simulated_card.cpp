// The runtime environment: installing applets, selecting them, and running
// each command through the selected applet's process method, with the APDU
// object's protocol, transactions closed at the end of each command, and
// transient memory cleared as a card clears it.

#include "core/runtime/card/simulated_card.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/cap/components_file.h"
#include "core/checks/checks.h"
#include "core/runtime/api/api_table.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/vm/vm.h"

#include <algorithm>
#include <span>
#include <variant>

namespace tolvane::runtime {
namespace {

constexpr std::size_t apduBufferSize = 261; // the header, 255 bytes of data, and Le
// For an applet that takes extended lengths: as much as an array may hold.
// A command with more data reaches it in chunks, through receiveBytes.
constexpr std::size_t extendedBufferSize = 32767;
// MultiSelectable's method tokens.
constexpr unsigned multiSelectToken = 0, multiDeselectToken = 1;

const char historical[] = "tolvane-sim";

Diagnostic haltDiagnostic(const Halt& halt)
{
    Diagnostic diagnostic;
    diagnostic.detail = halt.reason;
    diagnostic.frames = halt.frames;
    return diagnostic;
}

} // namespace

SimulatedCard::SimulatedCard(const CardSettings& settings, const CardKeys& keys)
    : vm_(std::make_unique<Vm>(settings)), manager_(std::make_unique<CardManager>(static_cast<ManagedCard&>(*this), keys))
{
    Vm& vm = *vm_;
    vm.apduBuffer = vm.newArray(ArrayType::Byte, apduBufferSize, Memory::ClearOnReset);
    vm.object(vm.apduBuffer).global = true;
    vm.apduObject = vm.newInstance(vm.api.apdu);
    Object& apdu = vm.object(vm.apduObject);
    apdu.entryPoint = true;
    apdu.temporary = true;
    auto state = std::make_unique<ApduState>();
    state->t0 = settings.t0;
    apdu.native = std::move(state);
    vm.platform = manager_.get();
    selectDefault();
}

SimulatedCard::~SimulatedCard() = default;

void SimulatedCard::load(const LoadFile& file, const std::string& path)
{
    loadUnder(file, path, issuerDomainAid());
    persist();
}

void SimulatedCard::setProfile(Profile* profile)
{
    vm_->profile = profile;
}

void SimulatedCard::setTracer(Tracer* tracer)
{
    vm_->tracer = tracer;
}

Profile::Namer SimulatedCard::profileNames() const
{
    const Vm* vm = vm_.get();
    return [vm](const Method* method) { return vm->methodName(method); };
}

std::vector<std::uint8_t> SimulatedCard::saveState() const
{
    StateWriter out;
    manager_->save(out);
    vm_->saveMemory(out);
    // A card of Java Card 2's 4 logical channels says so after its memory;
    // one of 20 ends there, as every card file did before.
    if (vm_->settings.channels != 20)
        out.u8(static_cast<std::uint8_t>(vm_->settings.channels));
    return out.data();
}

void SimulatedCard::restoreState(std::span<const std::uint8_t> state, const std::string& path)
{
    Vm& vm = *vm_;
    unsigned channels = 20;
    try {
        StateReader in(state);
        manager_->load(in);
        // The packages are linked again in the order they were loaded, so
        // that every class is where the memory's objects name it.
        LoadFileOptions options;
        options.verify = false; // verified when it was loaded
        for (const auto& entry : manager_->registry())
            if (entry.kind == RegistryEntry::Kind::LoadFile && !entry.builtIn) {
                const std::string name = "the card file's package " + hexText(entry.aid, HexCase::Upper);
                vm.link(layOutLoadFile(componentsOf(entry.block, name), options, name), name);
            }
        vm.restoreMemory(in);
        channels = in.atEnd() ? 20 : in.u8();
        if (!in.atEnd())
            throw SnapshotError("bytes after the card's state");
        // The runtime takes its APDU object and buffer as it made them.
        const Object& apdu = vm.object(vm.apduObject);
        const Object& buffer = vm.object(vm.apduBuffer);
        if (apdu.cls != vm.api.apdu || !dynamic_cast<const ApduState*>(apdu.native.get()))
            throw SnapshotError("its APDU object is no APDU");
        if (buffer.array != ArrayType::Byte || buffer.memory != Memory::ClearOnReset ||
            (buffer.bytes.size() != apduBufferSize && buffer.bytes.size() != extendedBufferSize))
            throw SnapshotError("its APDU buffer is no APDU buffer");
    } catch (const SnapshotError& error) {
        throw Error(ErrorKind::Simulation, path, std::string("a corrupt card file: ") + error.what());
    } catch (const Error& error) {
        throw Error(ErrorKind::Simulation, path, "a corrupt card file: a package in it does not link: " +
                                                     error.message());
    }
    if (channels != vm.settings.channels)
        throw Error(ErrorKind::Simulation, path,
                    "a card of " + std::to_string(channels) + " logical channels, and this one has " +
                        std::to_string(vm.settings.channels) + (channels == 4 ? ": --channels 4 opens it" : ""));
    static_cast<ApduState&>(*vm.object(vm.apduObject).native).t0 = vm.settings.t0;
    reset();
    savedState_ = saveState();
}

void SimulatedCard::keepIn(const std::string& path)
{
    if (path != cardFile_ || !fileLock_)
        fileLock_ = std::make_unique<CardFileLock>(path);
    cardFile_ = path;
    savedState_.clear();
    persist();
}

void SimulatedCard::persist()
{
    if (cardFile_.empty())
        return;
    auto state = saveState();
    if (state == savedState_)
        return;
    writeCardFile(cardFile_, state);
    savedState_ = std::move(state);
}

void SimulatedCard::loadUnder(const LoadFile& file, const std::string& path, const Aid& domain)
{
    const auto aid = bytesFromHex(file.packageAid, HexSpaces::Ignored).value_or(Aid{});
    if (manager_->findLoadFile(aid))
        throw Error(ErrorKind::Simulation, path, "the card holds load file " + file.packageAid + " already");
    vm_->link(file, path);
    RegistryEntry entry;
    entry.kind = RegistryEntry::Kind::LoadFile;
    entry.aid = aid;
    entry.lifeCycle = life::loaded;
    entry.domain = domain;
    entry.major = file.packageMajor;
    entry.minor = file.packageMinor;
    for (const auto& applet : file.applets)
        entry.modules.push_back(bytesFromHex(applet, HexSpaces::Ignored).value_or(Aid{}));
    for (const auto& imported : file.imports)
        entry.imports.push_back(bytesFromHex(imported.aid, HexSpaces::Ignored).value_or(Aid{}));
    entry.block = file.bytes;
    manager_->registry().push_back(std::move(entry));
}

void SimulatedCard::linkBlock(std::span<const std::uint8_t> block, const Aid& aid, const Aid& domain)
{
    const std::string path = "the Load File Data Block of " + hexText(aid, HexCase::Upper);
    // Unverified, the package is only laid out: what the checks would say
    // is left to the runtime, which holds without them.
    const auto entries = componentsOf(block, path);
    const LoadFile file = loadOptions_.verify ? makeLoadFile(entries, loadOptions_, path)
                                              : layOutLoadFile(entries, loadOptions_, path);
    if (file.packageAid != hexText(aid, HexCase::Upper))
        throw Error(ErrorKind::Simulation, path,
                    "the package loaded is " + file.packageAid + ", and INSTALL [for load] named " +
                        hexText(aid, HexCase::Upper));
    loadUnder(file, path, domain);
}

Aid SimulatedCard::installApplet(const Aid& module, const Aid& instance, const std::vector<std::uint8_t>& privileges,
                                 const std::vector<std::uint8_t>& parameters, const Aid& domain, bool selectable)
{
    if (manager_->find(instance))
        throw Error(ErrorKind::Simulation, {}, "the card holds " + hexText(instance, HexCase::Upper) + " already");
    const Aid registered = installInstance(module, instance, privileges, parameters);
    RegistryEntry* entry = manager_->find(registered);
    entry->lifeCycle = selectable ? life::selectable : life::installed;
    entry->domain = domain;
    return registered;
}

bool SimulatedCard::selectedElsewhere(const Aid& aid, unsigned channel) const
{
    const Vm& vm = *vm_;
    for (unsigned other = 0; other < Vm::channelCount; ++other)
        if (other != channel && vm.channelOpen[other] && vm.selectedOn[other] &&
            vm.instances[*vm.selectedOn[other]].aid == aid)
            return true;
    return false;
}

void SimulatedCard::removeInstance(const Aid& aid)
{
    Vm& vm = *vm_;
    const auto at = std::find_if(vm.instances.begin(), vm.instances.end(),
                                 [&](const Instance& instance) { return instance.aid == aid; });
    if (at == vm.instances.end())
        return;
    const auto index = static_cast<std::size_t>(at - vm.instances.begin());
    for (auto& selected : vm.selectedOn)
        if (selected && *selected == index)
            selected.reset();
        else if (selected && *selected > index)
            --*selected;
    vm.instances.erase(at);
    vm.collectGarbage();
}

Response SimulatedCard::personalize(const Aid& aid, std::span<const std::uint8_t> command)
{
    Vm& vm = *vm_;
    Response response;
    const auto instance = std::find_if(vm.instances.begin(), vm.instances.end(),
                                       [&](const Instance& i) { return i.aid == aid; });
    if (instance == vm.instances.end()) {
        response.sw = 0x6A88;
        response.cardReason = "STORE DATA: no applet instance " + hexText(aid, HexCase::Upper);
        return response;
    }
    // Personalization's processData answers with data; Application's does not.
    const Class* personalization = vm.apiClass("org.globalplatform.Personalization");
    const Class* application = vm.apiClass("org.globalplatform.Application");
    const Object& applet = vm.object(instance->applet);
    const bool answers = applet.cls->isSubclassOf(personalization);
    const Method* processData = answers ? applet.cls->interfaceMethod(personalization, 0)
                                : applet.cls->isSubclassOf(application) ? applet.cls->interfaceMethod(application, 0)
                                                                        : nullptr;
    if (!processData) {
        response.sw = 0x6985;
        response.cardReason = "STORE DATA: applet " + hexText(aid, HexCase::Upper) +
                              " implements neither org.globalplatform.Application nor Personalization";
        return response;
    }
    // The whole command, in the APDU buffer, as the application is given it;
    // Personalization writes its answer over it, from the buffer's start.
    Object& buffer = vm.object(vm.apduBuffer);
    if (command.size() > buffer.bytes.size())
        buffer.bytes.resize(command.size());
    std::copy(command.begin(), command.end(), buffer.bytes.begin());
    response.sw = 0x9000;
    const Word self{static_cast<std::int16_t>(instance->applet), Kind::Reference};
    const Word bufferRef{static_cast<std::int16_t>(vm.apduBuffer), Kind::Reference};
    const Word length{static_cast<std::int16_t>(command.size()), Kind::Short};
    try {
        if (answers) {
            const auto result = vm.call(processData, {self, bufferRef, {0, Kind::Short}, length, bufferRef, {0, Kind::Short}},
                                        instance->package->context);
            const Object& out = vm.object(vm.apduBuffer);
            const std::size_t count = !result.empty() && result[0].kind == Kind::Short && result[0].value > 0
                                          ? std::min<std::size_t>(static_cast<std::size_t>(result[0].value), 256)
                                          : 0;
            if (count > out.bytes.size())
                throw Halt("Personalization.processData answered " + std::to_string(count) +
                           " bytes, more than the APDU buffer holds");
            response.data.assign(out.bytes.begin(), out.bytes.begin() + static_cast<long>(count));
        } else {
            vm.call(processData, {self, bufferRef, {0, Kind::Short}, length}, instance->package->context);
        }
    } catch (const Thrown& thrown) {
        const Object& exception = vm.object(thrown.object);
        const bool iso = exception.cls && exception.cls->isSubclassOf(vm.api.isoException);
        response.sw = iso ? vm.reasonOf(thrown.object).value_or(0x6F00) : 0x6F00;
        if (!iso)
            response.diagnostics.push_back(vm.diagnosticOf(thrown.object));
    } catch (const Halt& halt) {
        response.sw = 0x6F00;
        response.diagnostics.push_back(haltDiagnostic(halt));
    }
    if (vm.inTransaction())
        vm.abortTransaction();
    return response;
}

bool SimulatedCard::removePackage(const Aid& aid)
{
    for (const auto& package : vm_->packages())
        if (!package->api && package->aid == aid)
            return vm_->removePackage(package.get());
    return true;
}

bool SimulatedCard::packageRemovable(const Aid& aid, const std::vector<Aid>& going)
{
    for (const auto& package : vm_->packages())
        if (!package->api && package->aid == aid)
            return vm_->packageRemovable(package.get(), going);
    return true;
}

void SimulatedCard::selectDefault()
{
    Vm& vm = *vm_;
    vm.channel = 0;
    for (std::size_t i = 0; i < vm.instances.size(); ++i) {
        const RegistryEntry* entry = manager_->find(vm.instances[i].aid);
        if (entry && (entry->privileges[0] & 0x04) && entry->lifeCycle == life::selectable &&
            manager_->cardState() != life::cardLocked && manager_->cardState() != life::terminated) {
            Response ignored;
            if (!select(i, ignored))
                return;
        }
    }
    manager_->select(issuerDomainAid(), 0);
}

std::vector<AppletInfo> SimulatedCard::lastApplets() const
{
    std::vector<AppletInfo> applets;
    const auto& packages = vm_->packages();
    if (packages.empty() || packages.back()->api)
        return applets;
    for (const auto& [aid, offset] : packages.back()->applets)
        applets.push_back({aid, packages.back()->name});
    return applets;
}

namespace {

// What went wrong in an install, as an error's lines.
Error installError(const std::string& what, const std::vector<std::string>& lines)
{
    Error error(ErrorKind::Simulation, {}, what);
    for (const auto& line : lines)
        error.addLine(line);
    return error;
}

} // namespace

std::vector<std::uint8_t> SimulatedCard::install(const std::vector<std::uint8_t>& module,
                                                 const std::vector<std::uint8_t>& instance,
                                                 const std::vector<std::uint8_t>& privileges,
                                                 const std::vector<std::uint8_t>& parameters)
{
    const auto registered = installInstance(module, instance, privileges, parameters);
    persist();
    return registered;
}

std::vector<std::uint8_t> SimulatedCard::installInstance(const std::vector<std::uint8_t>& module,
                                                 const std::vector<std::uint8_t>& instance,
                                                 const std::vector<std::uint8_t>& privileges,
                                                 const std::vector<std::uint8_t>& parameters)
{
    Vm& vm = *vm_;
    const Package* package = nullptr;
    unsigned installOffset = 0;
    for (const auto& candidate : vm.packages())
        for (const auto& [aid, offset] : candidate->applets)
            if (aid == module) {
                package = candidate.get();
                installOffset = offset;
            }
    const std::string name = hexText(instance, HexCase::Upper);
    if (!package)
        throw Error(ErrorKind::Simulation, {}, "no package on the card has applet " + hexText(module, HexCase::Upper));
    const auto method = package->methodAt.find(installOffset);
    if (method == package->methodAt.end() || method->second->nargs != 3)
        throw Error(ErrorKind::Simulation, {},
                    "applet " + hexText(module, HexCase::Upper) + " has no install method at offset " +
                        std::to_string(installOffset));
    for (const auto& existing : vm.instances)
        if (existing.aid == instance)
            throw Error(ErrorKind::Simulation, {}, "an applet instance " + name + " is already installed");
    if (manager_->find(instance))
        throw Error(ErrorKind::Simulation, {}, "the card holds " + name + " already");
    if (instance.size() > 16 || privileges.size() > 32 || parameters.size() > 160)
        throw Error(ErrorKind::Simulation, {}, "the install parameters of " + name + " do not fit");

    // The parameters lie in the APDU buffer, where a card's INSTALL command
    // brought them: after the load file's and the module's AIDs, as GlobalPlatform
    // lays them out. Applets that read past them read what a card's buffer holds.
    std::vector<std::uint8_t> bytes;
    for (const auto* part : {&package->aid, &module, &instance, &privileges, &parameters}) {
        bytes.push_back(static_cast<std::uint8_t>(part->size()));
        bytes.insert(bytes.end(), part->begin(), part->end());
    }
    const std::size_t first = 5 + 2 + package->aid.size() + module.size();
    Object& buffer = vm.object(vm.apduBuffer);
    std::fill(buffer.bytes.begin(), buffer.bytes.end(), 0);
    std::copy(bytes.begin(), bytes.end(), buffer.bytes.begin() + 5);
    const auto length = static_cast<std::int16_t>(bytes.size() - (first - 5));

    vm.installingAid = instance;
    vm.installingPackage = package;
    vm.installing.reset();
    vm.startBudget();
    vm.traced.clear();
    vm.unserved.clear();
    const auto finish = [&] {
        vm.installingPackage = nullptr;
        if (vm.inTransaction())
            vm.abortTransaction();
    };
    // An install that fails leaves no instance, though it registered one.
    const auto undo = [&] {
        finish();
        if (vm.installing) {
            vm.instances.erase(vm.instances.begin() + static_cast<long>(*vm.installing));
            vm.installing.reset();
        }
    };
    try {
        vm.call(method->second,
                {{static_cast<std::int16_t>(vm.apduBuffer), Kind::Reference},
                 {static_cast<std::int16_t>(first), Kind::Short},
                 {length, Kind::Short}},
                package->context);
    } catch (const Thrown& thrown) {
        undo();
        auto lines = vm.diagnosticOf(thrown.object).lines();
        for (const auto& unserved : vm.unserved)
            if (unserved.exception != vm.diagnosticOf(thrown.object).exception ||
                unserved.detail != vm.diagnosticOf(thrown.object).detail)
                for (const auto& line : unserved.lines())
                    lines.push_back(line);
        throw installError("the install method of applet " + name + " threw an exception", lines);
    } catch (const Halt& halt) {
        undo();
        std::vector<std::string> lines{halt.reason};
        for (const auto& frame : halt.frames)
            lines.push_back("  at " + frame.text());
        throw installError("the install method of applet " + name + " was stopped", lines);
    }
    finish();
    if (!vm.installing)
        throw Error(ErrorKind::Simulation, {}, "the install method of applet " + name + " returned without register()");
    const auto registered = vm.instances[*vm.installing].aid;
    vm.installing.reset();
    RegistryEntry entry;
    entry.kind = RegistryEntry::Kind::Application;
    entry.aid = registered;
    entry.lifeCycle = life::selectable;
    entry.privileges = privileges;
    entry.privileges.resize(3, 0x00);
    entry.domain = issuerDomainAid();
    entry.loadFile = package->aid;
    entry.module = module;
    manager_->registry().push_back(std::move(entry));
    return registered;
}

namespace {

// A command's lengths as ISO 7816-4 codes them, short or extended.
struct Lengths {
    unsigned lc = 0, ne = 256;
    bool hasLe = false, extended = false;
    unsigned dataOffset = 5;
};

// The lengths of `command`, else why they do not fit its size.
std::variant<Lengths, std::string> lengthsOf(std::span<const std::uint8_t> command)
{
    Lengths lengths;
    const std::size_t size = command.size();
    if (size == 4)
        return lengths;
    if (size == 5) { // case 2 short
        lengths.hasLe = true;
        lengths.ne = command[4] ? command[4] : 256;
        return lengths;
    }
    if (command[4] != 0) { // case 3 or 4 short
        lengths.lc = command[4];
        if (size == 5 + lengths.lc)
            return lengths;
        if (size == 6 + lengths.lc) {
            lengths.hasLe = true;
            lengths.ne = command.back() ? command.back() : 256;
            return lengths;
        }
        return "Lc " + std::to_string(lengths.lc) + " and " + std::to_string(size - 5) +
               " bytes after the header do not agree";
    }
    lengths.extended = true;
    lengths.dataOffset = 7;
    const auto be16 = [&](std::size_t at) { return static_cast<unsigned>(command[at] << 8 | command[at + 1]); };
    if (size == 7) { // case 2 extended
        lengths.hasLe = true;
        lengths.ne = be16(5) ? be16(5) : 65536;
        return lengths;
    }
    if (size < 7)
        return "an extended length cut short: " + std::to_string(size) + " bytes";
    lengths.lc = be16(5);
    if (lengths.lc == 0)
        return "an extended Lc of 0";
    // Without Le an extended command leaves the answer's length to the
    // applet, up to what it may send.
    lengths.ne = 65536;
    if (size == 7 + lengths.lc)
        return lengths;
    if (size == 9 + lengths.lc) {
        lengths.hasLe = true;
        lengths.ne = be16(size - 2) ? be16(size - 2) : 65536;
        return lengths;
    }
    return "extended Lc " + std::to_string(lengths.lc) + " and " + std::to_string(size - 7) +
           " bytes after it do not agree";
}

bool isInterindustry(std::uint8_t cla)
{
    return (cla & 0x80) == 0;
}

} // namespace

Response SimulatedCard::transmit(std::span<const std::uint8_t> command)
{
    Response response = answer(command);
    persist();
    return response;
}

Response SimulatedCard::answer(std::span<const std::uint8_t> command)
{
    Vm& vm = *vm_;
    Response response;
    vm.traced.clear();
    vm.unserved.clear();
    vm.startBudget();
    // An answer the card gives itself, with what made it.
    const auto refuse = [&](std::uint16_t sw, std::string reason) {
        finishCommand(response);
        response.sw = sw;
        response.cardReason = std::move(reason);
        return response;
    };
    if (command.size() < 4)
        return refuse(0x6700, "a command of " + std::to_string(command.size()) + " bytes, shorter than its header");
    ApduState& apdu = static_cast<ApduState&>(*vm.object(vm.apduObject).native);
    // A T=0 card keeps a case 4 answer until GET RESPONSE asks for it.
    if (vm.settings.t0 && command[1] == 0xC0 && !pending_.empty()) {
        const std::size_t wanted = command.size() >= 5 && command[4] ? command[4] : 256;
        const std::size_t count = std::min(wanted, pending_.size());
        response.data.assign(pending_.begin(), pending_.begin() + static_cast<long>(count));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
        response.sw = pending_.empty() ? 0x9000
                                       : static_cast<std::uint16_t>(0x6100 | std::min<std::size_t>(pending_.size(), 256) % 256);
        return response;
    }
    pending_.clear();

    const auto parsed = lengthsOf(command);
    if (const auto* why = std::get_if<std::string>(&parsed))
        return refuse(0x6700, "the command's length is wrong: " + *why);
    const Lengths lengths = std::get<Lengths>(parsed);
    if (lengths.extended && vm.settings.t0)
        return refuse(0x6700, "an extended length, which T=0 does not carry");
    // A T=0 card answers a command that brings data and wants data back
    // with 61xx, the card manager as any applet: the data waits for GET
    // RESPONSE.
    const auto t0Answer = [&](Response& answer) {
        if (vm.settings.t0 && lengths.hasLe && lengths.lc > 0 && !answer.data.empty() && answer.sw == 0x9000) {
            pending_ = std::move(answer.data);
            answer.data.clear();
            answer.sw = static_cast<std::uint16_t>(0x6100 | (pending_.size() >= 256 ? 0 : pending_.size()));
        }
        return answer;
    };
    const std::uint8_t cla = command[0];
    if (cla == 0xFF)
        return refuse(0x6E00, "class byte FF, which no command has");
    vm.channel = channelOfCla(cla, vm.settings.channels);

    if (isInterindustry(cla) && command[1] == 0x70) {
        auto [sw, reason] = manageChannel(command, lengths.lc);
        response = refuse(sw, reason);
        if (sw == 0x9000 && command[2] == 0x00 && command[3] == 0x00) // the channel the card chose
            response.data = {static_cast<std::uint8_t>(vm.channel)};
        return response;
    }

    const bool isSelect = isInterindustry(cla) && command[1] == 0xA4 && command[2] == 0x04;
    if (!vm.channelOpen[vm.channel] && !isSelect)
        return refuse(0x6881, "logical channel " + std::to_string(vm.channel) + " is not open" +
                                  (vm.channel >= 4 ? " (class " + hexText(std::vector<std::uint8_t>{cla}, HexCase::Upper) +
                                                         " names it as Java Card 3 codes the class byte; a card of "
                                                         "--channels 4 reads channels 0 to 3 from any class byte)"
                                                   : std::string()));

    std::optional<std::size_t> target = vm.selected();
    bool selecting = false;
    if (isSelect) {
        const std::vector<std::uint8_t> name(command.begin() + lengths.dataOffset,
                                             command.begin() + lengths.dataOffset + lengths.lc);
        // The registry decides what may be selected: an application made
        // selectable and not locked, on a card neither locked nor terminated.
        const auto selectable = [&](std::size_t i) {
            const RegistryEntry* entry = manager_->find(vm.instances[i].aid);
            return !entry || entry->lifeCycle != life::installed;
        };
        const auto instanceNamed = [&](bool whole) -> std::optional<std::size_t> {
            for (std::size_t i = 0; i < vm.instances.size(); ++i) {
                const auto& aid = vm.instances[i].aid;
                const bool matches = whole ? aid == name
                                           : !name.empty() && name.size() <= aid.size() &&
                                                 std::equal(name.begin(), name.end(), aid.begin());
                if (matches && selectable(i))
                    return i;
            }
            return std::nullopt;
        };
        std::optional<std::size_t> found = name.empty() ? std::nullopt : instanceNamed(true);
        // A SELECT without a name selects the issuer security domain.
        const auto domain = found ? std::nullopt : name.empty() ? std::optional<Aid>(issuerDomainAid())
                                                                : manager_->domainNamed(name);
        if (!found && !domain)
            found = instanceNamed(false);
        const bool opening = !vm.channelOpen[vm.channel];
        if (domain) {
            vm.channelOpen[vm.channel] = true; // a SELECT opens its channel
            deselect();
            response = manager_->select(*domain, vm.channel);
            if (response.sw != 0x9000 && response.sw != 0x6283 && opening)
                vm.channelOpen[vm.channel] = false;
            finishCommand(response);
            return t0Answer(response);
        }
        if (found) {
            const RegistryEntry* entry = manager_->find(vm.instances[*found].aid);
            const std::uint8_t card = manager_->cardState();
            if (card == life::cardLocked || card == life::terminated)
                return refuse(0x6999, std::string("the card is ") + (card == life::terminated ? "TERMINATED" : "CARD_LOCKED") +
                                          ": no application is selected");
            if (entry && (entry->lifeCycle & life::lockedBit))
                return refuse(0x6999, "application " + hexText(name, HexCase::Upper) + " is LOCKED");
            vm.channelOpen[vm.channel] = true;
            // The security domain's session ends before the applet's select()
            // runs, and stays ended where the applet refuses.
            manager_->leave(vm.channel);
            if (const auto refused = select(*found, response)) {
                if (opening)
                    vm.channelOpen[vm.channel] = false;
                return refuse(refused->first, refused->second);
            }
            target = found;
            selecting = true;
        } else if (opening) {
            return refuse(0x6A82, "no applet on the card has AID " + hexText(name, HexCase::Upper) +
                                      " (logical channel " + std::to_string(vm.channel) + " stays closed)");
        }
        // Not found: an applet selected answers the SELECT itself, as it
        // may for its own files; a security domain answers that nothing has
        // that AID.
        if (!target)
            return refuse(0x6A82, "no applet on the card has AID " + hexText(name, HexCase::Upper));
    }
    if (!target && manager_->selectedOn(vm.channel)) {
        response = manager_->process(command, vm.channel);
        finishCommand(response);
        return t0Answer(response);
    }
    if (!target)
        return refuse(0x6999, "no applet is selected on logical channel " + std::to_string(vm.channel));

    const Instance& instance = vm.instances[*target];
    const bool takesExtended = vm.object(instance.applet).cls->isSubclassOf(vm.api.extendedLength);
    if (lengths.extended && !takesExtended)
        return refuse(0x6700, "an extended length, and applet " + hexText(instance.aid, HexCase::Upper) +
                                  " does not implement javacardx.apdu.ExtendedLength");

    apdu.command.assign(command.begin(), command.end());
    if (apdu.command.size() == 4)
        apdu.command.push_back(0);
    apdu.lc = lengths.lc;
    apdu.ne = lengths.ne;
    apdu.hasLe = lengths.hasLe;
    apdu.dataOffset = lengths.dataOffset;
    apdu.received = 0;
    apdu.maxOutgoing = takesExtended ? extendedBufferSize : 256;
    apdu.state = 0;
    apdu.declared = 0;
    apdu.sentAndDone = false;
    apdu.response.clear();
    // The buffer: as large as an extended command needs for an applet that
    // takes them. T=1 brings the whole command at once, so its data is there
    // before setIncomingAndReceive; T=0 brings the header alone.
    Object& buffer = vm.object(vm.apduBuffer);
    buffer.bytes.resize(takesExtended ? extendedBufferSize : apduBufferSize);
    const std::size_t arrived = vm.settings.t0 ? 5 : std::min(apdu.command.size(), buffer.bytes.size());
    std::copy(apdu.command.begin(), apdu.command.begin() + static_cast<long>(arrived), buffer.bytes.begin());

    vm.selecting = selecting;
    std::uint16_t sw = 0x9000;
    try {
        const Method* process = vm.virtualMethod(vm.object(instance.applet), vm.api.process);
        vm.call(process,
                {{static_cast<std::int16_t>(instance.applet), Kind::Reference},
                 {static_cast<std::int16_t>(vm.apduObject), Kind::Reference}},
                instance.package->context);
    } catch (const Thrown& thrown) {
        const auto diagnostic = vm.diagnosticOf(thrown.object);
        const Object& exception = vm.object(thrown.object);
        if (exception.cls && exception.cls->isSubclassOf(vm.api.isoException)) {
            sw = vm.reasonOf(thrown.object).value_or(0x6F00);
        } else {
            sw = 0x6F00;
            apdu.response.clear();
        }
        // An ISOException is how an applet answers: only its others are failures.
        if (sw == 0x6F00 || !exception.cls->isSubclassOf(vm.api.isoException) || vm.settings.trace)
            response.diagnostics.push_back(diagnostic);
    } catch (const Halt& halt) {
        sw = 0x6F00;
        apdu.response.clear();
        response.diagnostics.push_back(haltDiagnostic(halt));
    }
    vm.selecting = false;
    response.data = apdu.response;
    finishCommand(response);
    response.sw = sw;
    return t0Answer(response);
}

// MANAGE CHANNEL: P1 00 opens a channel (the one P2 names, or the lowest
// free one), P1 80 closes the one P2 names. The new channel selects what
// the channel it was opened from has selected, as the runtime environment's
// rules say; opened from channel 0, nothing.
std::pair<std::uint16_t, std::string> SimulatedCard::manageChannel(std::span<const std::uint8_t> command,
                                                                   unsigned lc)
{
    Vm& vm = *vm_;
    const unsigned origin = vm.channel;
    if (!vm.channelOpen[origin])
        return {0x6881, "MANAGE CHANNEL on logical channel " + std::to_string(origin) + ", which is not open"};
    if (lc != 0)
        return {0x6700, "MANAGE CHANNEL takes no data"};
    const std::uint8_t p1 = command[2], p2 = command[3];
    if (p1 == 0x80) {
        if (p2 == 0 || p2 >= vm.settings.channels)
            return {0x6A81, "logical channel " + std::to_string(p2) + " cannot be closed"};
        if (!vm.channelOpen[p2])
            return {0x6A81, "logical channel " + std::to_string(p2) + " is not open"};
        vm.channel = p2;
        deselect();
        manager_->leave(p2);
        vm.channelOpen[p2] = false;
        vm.channel = origin;
        return {0x9000, {}};
    }
    if (p1 != 0x00)
        return {0x6A86, "MANAGE CHANNEL with P1 " + hexText(std::vector<std::uint8_t>{p1}, HexCase::Upper) + ", neither open (00) nor close (80)"};
    unsigned chosen = p2;
    if (p2 == 0) {
        chosen = 1;
        while (chosen < vm.settings.channels && vm.channelOpen[chosen])
            ++chosen;
        if (chosen == vm.settings.channels)
            return {0x6A81, "every logical channel is open"};
    } else if (p2 >= vm.settings.channels) {
        return {0x6A81, "logical channel " + std::to_string(p2) + ", past the card's " +
                            std::to_string(vm.settings.channels - 1)};
    } else if (vm.channelOpen[p2]) {
        return {0x6A81, "logical channel " + std::to_string(p2) + " is open already"};
    }
    const auto inherited = origin != 0 ? vm.selectedOn[origin] : std::nullopt;
    vm.channelOpen[chosen] = true;
    vm.selectedOn[chosen].reset();
    vm.channel = chosen;
    if (!inherited) {
        // A new channel selects the security domain the channel it was
        // opened from has, else the issuer's.
        const auto domain = origin != 0 && manager_->selectedOn(origin) ? *manager_->selectedOn(origin) : issuerDomainAid();
        manager_->select(domain, chosen);
    }
    if (inherited) {
        Response ignored;
        if (const auto refused = select(*inherited, ignored)) {
            vm.channelOpen[chosen] = false;
            vm.channel = origin;
            return {refused->first, "the new channel cannot select what channel " + std::to_string(origin) +
                                        " has: " + refused->second};
        }
    }
    return {0x9000, {}};
}

// Selects instance `chosen` on the command's channel: what was selected
// there is deselected, then the applet's select (or MultiSelectable's,
// where its package is active on another channel) says whether it agrees.
// Nothing where it is selected; else the status word and why.
std::optional<std::pair<std::uint16_t, std::string>> SimulatedCard::select(std::size_t chosen, Response& response)
{
    Vm& vm = *vm_;
    const Instance& instance = vm.instances[chosen];
    const Object& applet = vm.object(instance.applet);
    const auto [instanceElsewhere, packageElsewhere] = activeElsewhere(chosen);
    const bool multi = applet.cls->isSubclassOf(vm.api.multiSelectable);
    const std::string name = hexText(instance.aid, HexCase::Upper);
    if (packageElsewhere && !multi)
        return std::pair<std::uint16_t, std::string>{
            0x6985, std::string(instanceElsewhere ? "applet " + name : "another applet of the package of " + name) +
                        " is active on another logical channel, and " + name + " is not MultiSelectable"};
    deselect();
    bool selected = false;
    try {
        std::vector<Word> result;
        const Word self{static_cast<std::int16_t>(instance.applet), Kind::Reference};
        if (packageElsewhere) {
            const Method* method = applet.cls->interfaceMethod(vm.api.multiSelectable, multiSelectToken);
            result = vm.call(method, {self, {instanceElsewhere ? std::int16_t{1} : std::int16_t{0}, Kind::Short}},
                             instance.package->context);
        } else {
            result = vm.call(vm.virtualMethod(applet, vm.api.select), {self}, instance.package->context);
        }
        selected = !result.empty() && result[0].kind == Kind::Short && result[0].value != 0;
    } catch (const Thrown& thrown) {
        response.diagnostics.push_back(vm.diagnosticOf(thrown.object));
    } catch (const Halt& halt) {
        response.diagnostics.push_back(haltDiagnostic(halt));
    }
    if (!selected)
        return std::pair<std::uint16_t, std::string>{0x6999, "applet " + name + " refused to be selected"};
    vm.selected() = chosen;
    return std::nullopt;
}

// Where else instance `index` is active: itself, or another applet of its
// package, selected on a channel other than the command's.
SimulatedCard::Elsewhere SimulatedCard::activeElsewhere(std::size_t index) const
{
    const Vm& vm = *vm_;
    Elsewhere elsewhere;
    for (unsigned channel = 0; channel < Vm::channelCount; ++channel)
        if (channel != vm.channel && vm.channelOpen[channel] && vm.selectedOn[channel]) {
            const std::size_t other = *vm.selectedOn[channel];
            elsewhere.instance = elsewhere.instance || other == index;
            elsewhere.package = elsewhere.package || vm.instances[other].package == vm.instances[index].package;
        }
    return elsewhere;
}

// Deselects the applet of the command's channel: its deselect, or
// MultiSelectable's where its package stays active on another channel, and
// its package's CLEAR_ON_DESELECT memory cleared once no channel has it.
void SimulatedCard::deselect()
{
    Vm& vm = *vm_;
    if (!vm.selected())
        return;
    const std::size_t index = *vm.selected();
    const Instance& current = vm.instances[index];
    const auto [instanceElsewhere, packageElsewhere] = activeElsewhere(index);
    const Word self{static_cast<std::int16_t>(current.applet), Kind::Reference};
    try {
        const Object& applet = vm.object(current.applet);
        if (packageElsewhere && applet.cls->isSubclassOf(vm.api.multiSelectable))
            vm.call(applet.cls->interfaceMethod(vm.api.multiSelectable, multiDeselectToken),
                    {self, {instanceElsewhere ? std::int16_t{1} : std::int16_t{0}, Kind::Short}},
                    current.package->context);
        else
            vm.call(vm.virtualMethod(applet, vm.api.deselect), {self}, current.package->context);
    } catch (const Thrown&) {
        // What deselect throws is ignored, as a card ignores it.
    } catch (const Halt&) {
    }
    if (vm.inTransaction())
        vm.abortTransaction();
    if (!packageElsewhere)
        vm.clearTransient(Memory::ClearOnDeselect, current.package->context);
    vm.selected().reset();
}

void SimulatedCard::reset()
{
    Vm& vm = *vm_;
    if (vm.inTransaction())
        vm.abortTransaction();
    vm.clearTransient(Memory::ClearOnReset, std::nullopt);
    vm.clearTransient(Memory::ClearOnDeselect, std::nullopt);
    vm.resetNatives();
    // Power gone: every channel but the basic one closed, nothing selected.
    vm.selectedOn.fill(std::nullopt);
    vm.channelOpen.fill(false);
    vm.channelOpen[0] = true;
    vm.channel = 0;
    pending_.clear();
    manager_->reset();
    selectDefault();
}

// What ends every command: a transaction left open is undone, object
// deletion runs where it was asked for, and the exceptions seen join the
// answer.
void SimulatedCard::finishCommand(Response& response)
{
    Vm& vm = *vm_;
    if (vm.inTransaction())
        vm.abortTransaction();
    if (vm.gcRequested) {
        vm.gcRequested = false;
        vm.collectGarbage();
    }
    const auto seen = [&](const Diagnostic& diagnostic) {
        return std::any_of(response.diagnostics.begin(), response.diagnostics.end(), [&](const Diagnostic& d) {
            return d.exception == diagnostic.exception && d.detail == diagnostic.detail &&
                   d.frames.size() == diagnostic.frames.size();
        });
    };
    for (auto& unserved : vm.unserved)
        if (!seen(unserved))
            response.diagnostics.push_back(unserved);
    for (auto& traced : vm.traced)
        if (!seen(traced))
            response.diagnostics.push_back(traced);
    response.instructions = vm.instructionsRun();
}

std::vector<std::uint8_t> SimulatedCard::atr() const
{
    // The historical bytes: the card's name, or what the default applet set
    // with GPSystem.setATRHistBytes.
    const std::string_view name = historical;
    const std::vector<std::uint8_t> text =
        manager_->historicalBytes() ? *manager_->historicalBytes() : std::vector<std::uint8_t>(name.begin(), name.end());
    std::vector<std::uint8_t> atr;
    atr.reserve(text.size() + 4);
    atr.push_back(0x3B);
    // T=0 alone needs no more; T=1 is named by TD1, and a check byte closes the answer.
    atr.push_back(static_cast<std::uint8_t>((vm_->settings.t0 ? 0x00 : 0x80) | text.size()));
    if (!vm_->settings.t0)
        atr.push_back(0x01);
    atr.insert(atr.end(), text.begin(), text.end());
    if (!vm_->settings.t0) {
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            check ^= atr[i];
        atr.push_back(check);
    }
    return atr;
}

} // namespace tolvane::runtime
