// The runtime environment: installing applets, selecting them, and running
// each command through the selected applet's process method, with the APDU
// object's protocol, transactions closed at the end of each command, and
// transient memory cleared as a card clears it.

#include "core/runtime/simulated_card.h"

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/runtime/api_table.h"
#include "core/runtime/vm.h"

#include <algorithm>
#include <span>

namespace tolvane::runtime {
namespace {

constexpr std::size_t apduBufferSize = 261; // the header, 255 bytes of data, and Le

const char historical[] = "tolvane-sim";

std::string number(unsigned value, bool hex)
{
    if (!hex)
        return std::to_string(value);
    std::string text;
    appendHex(text, static_cast<std::uint8_t>(value >> 8), HexCase::Upper);
    appendHex(text, static_cast<std::uint8_t>(value), HexCase::Upper);
    return text;
}

// The name of an exception's reason where its class defines one
// ("NO_RESOURCE"), else nothing.
std::string reasonName(const std::string& exception, unsigned reason)
{
    for (const auto& row : std::span(apiMemberRows, apiMemberCount))
        if (row.field && row.hasValue && static_cast<unsigned>(row.value) == reason &&
            exception == std::string(row.package) + "." + row.cls)
            return row.name;
    return {};
}

Diagnostic haltDiagnostic(const Halt& halt)
{
    Diagnostic diagnostic;
    diagnostic.detail = halt.reason;
    diagnostic.frames = halt.frames;
    return diagnostic;
}

} // namespace

std::string StackFrame::text() const
{
    std::string text = cls + "." + method + " at " + std::to_string(offset);
    if (!file.empty())
        text += " (" + file + (line ? ":" + std::to_string(line) : "") + ")";
    return text;
}

std::vector<std::string> Diagnostic::lines() const
{
    std::string first = exception.empty() ? "The command was stopped" : exception;
    if (reason) {
        const bool sw = exception == "javacard.framework.ISOException";
        first += " reason " + number(*reason, sw);
        if (!sw)
            if (const auto name = reasonName(exception, *reason); !name.empty())
                first += " (" + name + ")";
    }
    if (!detail.empty())
        first += ": " + detail;
    if (caught)
        first += " (caught)";
    std::vector<std::string> lines{first};
    for (const auto& frame : frames)
        lines.push_back("  at " + frame.text());
    return lines;
}

std::vector<std::uint8_t> Response::bytes() const
{
    std::vector<std::uint8_t> bytes = data;
    bytes.push_back(static_cast<std::uint8_t>(sw >> 8));
    bytes.push_back(static_cast<std::uint8_t>(sw));
    return bytes;
}

SimulatedCard::SimulatedCard(const CardSettings& settings) : vm_(std::make_unique<Vm>(settings))
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
}

SimulatedCard::~SimulatedCard() = default;

void SimulatedCard::load(const LoadFile& file, const std::string& path)
{
    vm_->link(file, path);
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
    vm.budgetLeft = vm.settings.budget;
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
    return registered;
}

Response SimulatedCard::transmit(std::span<const std::uint8_t> command)
{
    Vm& vm = *vm_;
    Response response;
    vm.traced.clear();
    vm.unserved.clear();
    vm.budgetLeft = vm.settings.budget;
    const auto answer = [&](std::uint16_t sw) {
        response.sw = sw;
        return response;
    };
    if (command.size() < 4)
        return answer(0x6700);
    ApduState& apdu = static_cast<ApduState&>(*vm.object(vm.apduObject).native);
    // A T=0 card keeps a case 4 answer until GET RESPONSE asks for it.
    if (vm.settings.t0 && command[1] == 0xC0 && !pending_.empty()) {
        const std::size_t wanted = command.size() >= 5 && command[4] ? command[4] : 256;
        const std::size_t count = std::min(wanted, pending_.size());
        response.data.assign(pending_.begin(), pending_.begin() + static_cast<long>(count));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
        return answer(pending_.empty()
                          ? 0x9000
                          : static_cast<std::uint16_t>(0x6100 | std::min<std::size_t>(pending_.size(), 255) % 256));
    }
    pending_.clear();

    unsigned lc = 0, ne = 256;
    bool hasLe = false;
    if (command.size() == 5) {
        hasLe = true;
        ne = command[4] ? command[4] : 256;
    } else if (command.size() > 5) {
        lc = command[4];
        if (lc == 0 || (command.size() != 5 + lc && command.size() != 6 + lc))
            return answer(0x6700); // extended lengths, or a length that does not match the data
        if (command.size() == 6 + lc) {
            hasLe = true;
            ne = command.back() ? command.back() : 256;
        }
    }

    std::optional<std::size_t> target = vm.selected;
    bool selecting = false;
    if ((command[0] & 0x80) == 0 && command[1] == 0xA4 && command[2] == 0x04) {
        const std::vector<std::uint8_t> name(command.begin() + 5, command.begin() + 5 + lc);
        std::optional<std::size_t> found;
        for (std::size_t i = 0; i < vm.instances.size() && !found; ++i)
            if (vm.instances[i].aid == name)
                found = i;
        for (std::size_t i = 0; i < vm.instances.size() && !found; ++i)
            if (!name.empty() && name.size() <= vm.instances[i].aid.size() &&
                std::equal(name.begin(), name.end(), vm.instances[i].aid.begin()))
                found = i;
        if (found) {
            deselect();
            const Instance& chosen = vm.instances[*found];
            bool selected = false;
            try {
                const Method* select = vm.virtualMethod(vm.object(chosen.applet), vm.api.select);
                const auto result = vm.call(select, {{static_cast<std::int16_t>(chosen.applet), Kind::Reference}},
                                            chosen.package->context);
                selected = !result.empty() && result[0].kind == Kind::Short && result[0].value != 0;
            } catch (const Thrown& thrown) {
                response.diagnostics.push_back(vm.diagnosticOf(thrown.object));
            } catch (const Halt& halt) {
                response.diagnostics.push_back(haltDiagnostic(halt));
            }
            if (!selected) {
                finishCommand(response);
                return answer(0x6999);
            }
            vm.selected = found;
            target = found;
            selecting = true;
        }
    }
    if (!target) {
        finishCommand(response);
        return answer(selecting || command[1] == 0xA4 ? 0x6A82 : 0x6999);
    }

    apdu.command.assign(command.begin(), command.end());
    if (apdu.command.size() == 4)
        apdu.command.push_back(0);
    apdu.lc = lc;
    apdu.ne = ne;
    apdu.hasLe = hasLe;
    apdu.state = 0;
    apdu.declared = 0;
    apdu.sentAndDone = false;
    apdu.response.clear();
    Object& buffer = vm.object(vm.apduBuffer);
    std::copy(apdu.command.begin(), apdu.command.begin() + 5, buffer.bytes.begin());

    const Instance& instance = vm.instances[*target];
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
    if (vm.settings.t0 && hasLe && lc > 0 && !response.data.empty() && sw == 0x9000) {
        pending_ = std::move(response.data);
        response.data.clear();
        sw = static_cast<std::uint16_t>(0x6100 | (pending_.size() >= 256 ? 0 : pending_.size()));
    }
    response.sw = sw;
    return response;
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
    response.instructions = vm.settings.budget - vm.budgetLeft;
}

void SimulatedCard::deselect()
{
    Vm& vm = *vm_;
    if (!vm.selected)
        return;
    const Instance& current = vm.instances[*vm.selected];
    try {
        const Method* deselect = vm.virtualMethod(vm.object(current.applet), vm.api.deselect);
        vm.call(deselect, {{static_cast<std::int16_t>(current.applet), Kind::Reference}}, current.package->context);
    } catch (const Thrown&) {
        // What deselect throws is ignored, as a card ignores it.
    } catch (const Halt&) {
    }
    vm.clearTransient(Memory::ClearOnDeselect, current.package->context);
    vm.selected.reset();
}

void SimulatedCard::reset()
{
    Vm& vm = *vm_;
    if (vm.inTransaction())
        vm.abortTransaction();
    vm.clearTransient(Memory::ClearOnReset, std::nullopt);
    vm.clearTransient(Memory::ClearOnDeselect, std::nullopt);
    vm.resetNatives();
    vm.selected.reset();
    pending_.clear();
}

std::vector<std::uint8_t> SimulatedCard::atr() const
{
    const std::string_view text = historical;
    std::vector<std::uint8_t> atr;
    atr.reserve(text.size() + 4);
    atr.push_back(0x3B);
    // T=0 alone needs no more; T=1 is named by TD1, and a check byte closes the answer.
    atr.push_back(static_cast<std::uint8_t>((vm_->settings.t0 ? 0x00 : 0x80) | text.size()));
    if (!vm_->settings.t0)
        atr.push_back(0x01);
    for (const char c : text)
        atr.push_back(static_cast<std::uint8_t>(c));
    if (!vm_->settings.t0) {
        std::uint8_t check = 0;
        for (std::size_t i = 1; i < atr.size(); ++i)
            check ^= atr[i];
        atr.push_back(check);
    }
    return atr;
}

} // namespace tolvane::runtime
