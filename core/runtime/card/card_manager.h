#pragma once

// The card manager: the issuer security domain and the supplementary ones,
// answering the GlobalPlatform commands a loader and a personaliser send
// (SELECT, GET DATA, the secure channel, GET STATUS, INSTALL, LOAD, DELETE,
// PUT KEY, SET STATUS), and the registry of what the card holds with each
// entry's life cycle, privileges and security domain.

#include "core/gp/card_channel.h"
#include "core/runtime/natives/platform.h"
#include "core/runtime/vm/outcome.h"
#include "core/runtime/vm/snapshot.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvane::runtime {

using Aid = std::vector<std::uint8_t>;

// Life cycle states as GET STATUS gives them.
namespace life {
constexpr std::uint8_t loaded = 0x01, installed = 0x03, selectable = 0x07, personalized = 0x0F, lockedBit = 0x80;
constexpr std::uint8_t opReady = 0x01, initialized = 0x07, secured = 0x0F, cardLocked = 0x7F, terminated = 0xFF;
} // namespace life

// The issuer security domain's AID, and the security domain package and
// module from which supplementary ones are made.
const Aid& issuerDomainAid();
const Aid& domainPackageAid();
const Aid& domainModuleAid();

// The first key set of the card: the protocol and i it answers with, and its
// keys (the default test key where none are given).
struct CardKeys {
    gp::Protocol protocol = gp::Protocol::Scp03;
    unsigned i = 0x70; // SCP03: 00, 10, 30 or 70; SCP02: 15 or 55
    unsigned version = 0x01;
    gp::StaticKeys keys;
};

struct KeySet {
    unsigned version = 0;
    gp::StaticKeys keys;
};

// What a security domain keeps of its own.
struct DomainState {
    gp::Protocol protocol = gp::Protocol::Scp03;
    unsigned i = 0x70;
    std::vector<KeySet> keySets;
    std::uint32_t counter = 0; // the sequence counter
    unsigned failures = 0;     // failed EXTERNAL AUTHENTICATEs in a row
};

struct RegistryEntry {
    enum class Kind : std::uint8_t { LoadFile, Application, Domain };
    Kind kind = Kind::Application;
    Aid aid;
    std::uint8_t lifeCycle = life::selectable;
    std::vector<std::uint8_t> privileges = {0x00, 0x00, 0x00};
    Aid domain;   // the security domain it is associated with
    Aid loadFile; // applications: their load file; load files: none
    Aid module;   // applications: the module they were made from
    // Load files.
    unsigned major = 0, minor = 0;
    std::vector<Aid> modules, imports;
    std::vector<std::uint8_t> block; // the Load File Data Block, kept so that the card file can link it again
    bool builtIn = false;            // the security domain package, on the card from the start
    std::optional<DomainState> state; // security domains
};

// What the card manager needs of the runtime environment that holds it.
class ManagedCard {
public:
    virtual ~ManagedCard() = default;
    // Links a Load File Data Block whose package is to be `aid`; throws
    // Error naming what refuses it.
    virtual void linkBlock(std::span<const std::uint8_t> block, const Aid& aid, const Aid& domain) = 0;
    // Installs an applet instance; throws Error naming why not.
    virtual Aid installApplet(const Aid& module, const Aid& instance, const std::vector<std::uint8_t>& privileges,
                              const std::vector<std::uint8_t>& parameters, const Aid& domain, bool selectable) = 0;
    // Whether an application is selected on a logical channel other than `channel`.
    virtual bool selectedElsewhere(const Aid& aid, unsigned channel) const = 0;
    virtual void removeInstance(const Aid& aid) = 0;
    // STORE DATA (the whole command, unwrapped) handed to the application
    // `aid` through org.globalplatform.Application.processData.
    virtual Response personalize(const Aid& aid, std::span<const std::uint8_t> command) = 0;
    // Removes a package whose instances are gone; false where objects of it are still in use.
    virtual bool removePackage(const Aid& aid) = 0;
    // Whether removePackage would take it once the instances `going` are gone.
    virtual bool packageRemovable(const Aid& aid, const std::vector<Aid>& going) = 0;
};

class CardManager : public Platform {
public:
    CardManager(ManagedCard& card, const CardKeys& keys);

    // The security domain that `name` selects (its whole AID, or the start
    // of it), if any.
    std::optional<Aid> domainNamed(std::span<const std::uint8_t> name) const;
    // SELECT of security domain `domain` on `channel`: the FCI and status word.
    Response select(const Aid& domain, unsigned channel);
    // The security domain selected on `channel`, if any.
    const std::optional<Aid>& selectedOn(unsigned channel) const { return selected_[channel]; }
    // An applet was selected on `channel`, or the channel closed.
    void leave(unsigned channel)
    {
        selected_[channel].reset();
        sessions_[channel] = {};
        personalizing_[channel].reset();
    }
    // A command to the security domain selected on `channel`.
    Response process(std::span<const std::uint8_t> command, unsigned channel);
    // A card reset: no session, nothing selected.
    void reset();

    // The registry, for the runtime environment: what may be selected and
    // where an applet installed from the command line goes.
    std::vector<RegistryEntry>& registry() { return registry_; }
    const std::vector<RegistryEntry>& registry() const { return registry_; }
    // The application or security domain `aid`; the load file `aid` (an
    // application may have its load file's AID).
    RegistryEntry* find(std::span<const std::uint8_t> aid);
    RegistryEntry* findLoadFile(std::span<const std::uint8_t> aid);

    // Whether the last command changed what the card keeps.
    bool changed() const { return changed_; }
    // The registry, the keys, the counters and the global PIN, for the card
    // file; load throws SnapshotError where the bytes do not fit.
    void save(StateWriter& out) const;
    void load(StateReader& in);

    // What the GlobalPlatform API asks of the card.
    std::uint8_t cardState() const override { return registry_.front().lifeCycle; }
    void setCardState(std::uint8_t state) override { registry_.front().lifeCycle = state; }
    std::optional<Entry> entry(const std::vector<std::uint8_t>& aid) const override;
    void setState(const std::vector<std::uint8_t>& aid, std::uint8_t state) override;
    gp::CardChannel* session(unsigned channel, const Aid& domain) override
    {
        return sessions_[channel].domain == domain ? sessions_[channel].channel.get() : nullptr;
    }
    void endSession(unsigned channel, const Aid& domain) override
    {
        if (sessions_[channel].domain == domain)
            sessions_[channel] = {};
    }
    Response securityCommand(const std::vector<std::uint8_t>& domain, std::span<const std::uint8_t> command,
                             unsigned channel) override;
    GlobalPin& globalPin() override { return pin_; }
    void setHistoricalBytes(const std::vector<std::uint8_t>& bytes) override { historical_ = bytes; }
    const std::optional<std::vector<std::uint8_t>>& historicalBytes() const { return historical_; }

private:
    struct Session {
        std::unique_ptr<gp::CardChannel> channel;
        Aid domain;
        // GET STATUS entries that did not fit its last answer, for P2 | 01:
        // the session's, so they go with it.
        std::vector<std::vector<std::uint8_t>> statusLeft;
    };
    struct PendingLoad {
        Aid aid, domain;
        std::vector<std::uint8_t> hash;
        unsigned nextBlock = 0;
        std::vector<std::uint8_t> bytes;
    };
    using Answer = std::pair<std::vector<std::uint8_t>, std::uint16_t>;

    Answer dispatch(const std::vector<std::uint8_t>& command, unsigned channel, std::string& reason);
    Answer getData(std::uint8_t p1, std::uint8_t p2, RegistryEntry& domain, std::string& reason);
    Answer initializeUpdate(const std::vector<std::uint8_t>& command, unsigned channel,
                            RegistryEntry& domain, std::string& reason);
    Answer externalAuthenticate(const std::vector<std::uint8_t>& command, unsigned channel, std::string& reason);
    Answer getStatus(const std::vector<std::uint8_t>& command, unsigned channel, std::string& reason);
    Answer install(const std::vector<std::uint8_t>& command, unsigned channel, RegistryEntry& domain,
                   std::string& reason);
    Answer installForLoad(const std::vector<std::uint8_t>& data, const Aid& domain, std::string& reason);
    Answer extradite(const std::vector<std::uint8_t>& data, std::string& reason);
    Answer beginPersonalization(const std::vector<std::uint8_t>& data, unsigned channel, const Aid& domain,
                                std::string& reason);
    Answer updateRegistry(const std::vector<std::uint8_t>& data, std::string& reason);
    Answer installAndMakeSelectable(const std::vector<std::uint8_t>& data, std::uint8_t p1, const Aid& domain,
                                    std::string& reason);
    Answer load(const std::vector<std::uint8_t>& command, std::string& reason);
    Answer storeData(const std::vector<std::uint8_t>& command, unsigned channel, std::string& reason);
    Answer remove(const std::vector<std::uint8_t>& command, unsigned channel, std::string& reason);
    Answer putKey(const std::vector<std::uint8_t>& command, unsigned channel, RegistryEntry& domain,
                  std::string& reason);
    Answer setStatus(const std::vector<std::uint8_t>& command, RegistryEntry& domain, std::string& reason);
    std::vector<std::uint8_t> recognitionData(const DomainState& state) const;

    ManagedCard& card_;
    std::vector<RegistryEntry> registry_; // the issuer security domain first
    std::array<Session, 20> sessions_;
    std::array<std::optional<Aid>, 20> selected_; // the security domain selected on each channel
    std::optional<PendingLoad> pending_;
    std::array<std::optional<Aid>, 20> personalizing_; // INSTALL [for personalization]'s application, by channel
    bool changed_ = false;
    std::vector<Diagnostic> diagnostics_; // what an application's processData threw
    GlobalPin pin_;
    std::optional<std::vector<std::uint8_t>> historical_; // set by the default applet
};

} // namespace tolvane::runtime
