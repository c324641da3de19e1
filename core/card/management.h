#pragma once

// What tolvane does to run a card once its secure channel is open: put key
// sets, change life cycle states, install without a load, make security
// domains, move objects between them, and personalise applications. Each
// refusal names the command, the object and the card's status word.

#include "core/card/operations.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::card {

// A key set to put: the keys as the card is to hold them (diversified
// already, where they are), and where they go.
struct KeyChange {
    gp::StaticKeys keys;
    unsigned version = 0; // the key set's version once put
    bool replace = false; // replaces that version (P1 = version), or adds it (P1 = 00)
};

// "DES" under SCP02, "AES-128", "AES-192" or "AES-256" under SCP03; or a
// text saying why the channel cannot take these keys.
std::string keyTypeName(gp::Protocol protocol, std::size_t length);
std::optional<std::string> keyProblem(gp::Protocol protocol, const gp::StaticKeys& keys);

// Each key's check value as the card computes it: ENC, MAC, DEK.
std::vector<ByteVector> checkValues(gp::Protocol protocol, const gp::StaticKeys& keys);

// PUT KEY of the three keys, each encrypted as the channel encrypts keys,
// each with its check value: 80 D8 P1 81.
ByteVector putKeyCommand(const gp::SecureChannel& channel, const KeyChange& change);

// Sends PUT KEY, then compares the check values the card answers with those
// computed here; a difference, or an answer without them, is an error that
// names both. The check values, where they agree.
std::vector<ByteVector> putKeys(Session& session, const KeyChange& change);

// The key versions the card's key information template lists (GET DATA
// 00 E0); nothing where the card gives none.
std::optional<std::vector<unsigned>> keyVersions(Session& session);

// SET STATUS of an application: locked, or back to the state it had.
void setApplicationLocked(Session& session, const ByteVector& aid, bool locked);

enum class CardState { Initialized, Secured, Locked, Unlocked, Terminated };
struct CardStateName {
    const char* name; // as --card-state takes it
    CardState state;
    std::uint8_t value; // the life cycle state SET STATUS sets
    bool irreversible;  // a transition that cannot be undone
};
const std::vector<CardStateName>& cardStates();

// SET STATUS of the card, sent to the security domain `sd`.
void setCardState(Session& session, const ByteVector& sd, CardState state);

// INSTALL [for make selectable] of an application with the card reset
// privilege: it is selected whenever the card starts.
void makeDefault(Session& session, const ByteVector& aid);

// INSTALL [for install and make selectable] of a module of a load file the
// card holds; refused before it is sent where `card` lists no such load file
// or module.
struct Installation {
    ByteVector loadFile, module, instance;
    ByteVector privileges{0x00};
    ByteVector parameters; // what C9 holds
};
void install(Session& session, const CardContents& card, const Installation& installation);

// The security domain load file and module, as cards list them.
const ByteVector& securityDomainLoadFile();
const ByteVector& securityDomainModule();

// A supplementary security domain `aid`, from the security domain module the
// card lists: privileges 80 OR-ed with `privileges`, install parameters
// naming the session's secure channel, then `parameters`.
void createSecurityDomain(Session& session, const CardContents& card, const ByteVector& aid,
                          const ByteVector& privileges, const ByteVector& parameters);

// INSTALL [for extradition] of an application or load file to the security
// domain `to`.
void extradite(Session& session, const ByteVector& aid, const ByteVector& to);

// INSTALL [for personalization] of the application, then one STORE DATA for
// each block (P1 80 on the last, P2 counting from 00). A block the channel
// cannot carry is refused before anything is sent.
void storeData(Session& session, const ByteVector& aid, const std::vector<ByteVector>& blocks);

} // namespace tolvane::card
