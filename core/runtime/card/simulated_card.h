#pragma once

// A Java Card without the card: load files linked on it as a card links them
// (the API is there from the start), applets installed and selected, and
// commands answered by running their bytecode. When a command ends in an
// exception nobody caught, the answer says which, where, and on which source
// line, where the CAP file's Debug component tells.

#include "core/cap/load_file.h"
#include "core/runtime/card/card_file.h"
#include "core/runtime/card/card_manager.h"
#include "core/runtime/vm/outcome.h"
#include "core/runtime/vm/profile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvane::runtime {

// A loaded package's applet.
struct AppletInfo {
    std::vector<std::uint8_t> aid;
    std::string packageName;
};

class Vm;
class Tracer;

// The card as a GlobalPlatform card: its card manager keeps the registry,
// answers the issuer security domain's commands, and installs through the
// runtime environment as the command line does.
class SimulatedCard : private ManagedCard {
public:
    explicit SimulatedCard(const CardSettings& settings = {}, const CardKeys& keys = {});
    ~SimulatedCard();
    SimulatedCard(const SimulatedCard&) = delete;
    SimulatedCard& operator=(const SimulatedCard&) = delete;

    // Links the load file's package against what is installed. Throws Error
    // (Simulation) naming what refuses it: an import missing or too old, a
    // reference the imported package does not have, a package the checks
    // could not decode.
    // The package is registered under the issuer security domain.
    void load(const LoadFile& file, const std::string& path);
    // The applets of the package loaded last.
    std::vector<AppletInfo> lastApplets() const;
    // Makes an instance of the applet `module` (of a package loaded) with
    // the instance AID and install parameters given, and gives the AID it
    // registered (which an applet may choose). Throws Error (Simulation)
    // where the install method fails or does not register, with the
    // diagnostic on the following lines.
    std::vector<std::uint8_t> install(const std::vector<std::uint8_t>& module,
                                      const std::vector<std::uint8_t>& instance,
                                      const std::vector<std::uint8_t>& privileges,
                                      const std::vector<std::uint8_t>& parameters);

    // Answers one command (and keeps the card, where it is kept in a file).
    Response transmit(std::span<const std::uint8_t> command);
    // A card reset (or a power loss and power on): an open transaction is
    // undone, transient memory cleared, no applet selected, and every
    // logical channel but the basic one closed.
    void reset();
    std::vector<std::uint8_t> atr() const;

    CardManager& manager() { return *manager_; }

    // From now on, where the instructions of each command go (null: nowhere,
    // at no cost); and the name a profile gives each method.
    void setProfile(Profile* profile);
    Profile::Namer profileNames() const;
    // What watches each instruction from now on (null: nothing, at no cost).
    void setTracer(Tracer* tracer);
    // The runtime, for what looks inside a run: coverage, a debugger.
    Vm& vm() { return *vm_; }
    const Vm& vm() const { return *vm_; }

    // The card's whole state: its registry, keys and counters, the packages'
    // Load File Data Blocks, and its memory as a power loss leaves it.
    std::vector<std::uint8_t> saveState() const;
    // A card's state as saveState gave it, on a card just made (with the
    // same settings' memory); throws Error (Simulation) naming `path` where
    // it does not fit.
    void restoreState(std::span<const std::uint8_t> state, const std::string& path);
    // Keeps the card in the card file `path`: it is replaced whole after
    // each command, load or install that changes the card's state. A
    // failure to save throws Error from that call; a card file another
    // simulator keeps its card in is refused.
    void keepIn(const std::string& path);
    // How a Load File Data Block that LOAD brings is laid out and checked:
    // as the command line checks a CAP file (its export path, its target,
    // verification).
    void setLoadOptions(const LoadFileOptions& options) { loadOptions_ = options; }

private:
    void linkBlock(std::span<const std::uint8_t> block, const Aid& aid, const Aid& domain) override;
    Aid installApplet(const Aid& module, const Aid& instance, const std::vector<std::uint8_t>& privileges,
                      const std::vector<std::uint8_t>& parameters, const Aid& domain, bool selectable) override;
    bool selectedElsewhere(const Aid& aid, unsigned channel) const override;
    void removeInstance(const Aid& aid) override;
    Response personalize(const Aid& aid, std::span<const std::uint8_t> command) override;
    bool removePackage(const Aid& aid) override;
    bool packageRemovable(const Aid& aid, const std::vector<Aid>& going) override;
    void loadUnder(const LoadFile& file, const std::string& path, const Aid& domain);
    std::vector<std::uint8_t> installInstance(const std::vector<std::uint8_t>& module,
                                              const std::vector<std::uint8_t>& instance,
                                              const std::vector<std::uint8_t>& privileges,
                                              const std::vector<std::uint8_t>& parameters);
    // What a card selects on the basic channel when it starts: an
    // application with the card reset privilege, else the issuer domain.
    void selectDefault();

    struct Elsewhere {
        bool instance = false, package = false;
    };
    Elsewhere activeElsewhere(std::size_t instance) const;
    std::optional<std::pair<std::uint16_t, std::string>> select(std::size_t instance, Response& response);
    std::pair<std::uint16_t, std::string> manageChannel(std::span<const std::uint8_t> command, unsigned lc);
    void deselect();
    void finishCommand(Response& response);

    std::unique_ptr<Vm> vm_;
    std::unique_ptr<CardManager> manager_;
    LoadFileOptions loadOptions_;
    std::string cardFile_;                  // where the card is kept; empty: in memory only
    std::unique_ptr<CardFileLock> fileLock_; // held while the card is kept there
    std::vector<std::uint8_t> savedState_;  // what the card file holds
    void persist();
    Response answer(std::span<const std::uint8_t> command);
    std::vector<std::uint8_t> pending_; // a T=0 answer that waits for GET RESPONSE
};

} // namespace tolvane::runtime
