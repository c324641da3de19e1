#include "core/pcsc/pcsc.h"

#include "core/base/error.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <winscard.h>
#include <wintypes.h>

namespace tolvane::pcsc {
namespace {

// How long a card another program holds is waited for.
constexpr std::chrono::seconds sharingWait{5};
// The tries of a connection's first command that the service failed before
// it reached the card.
constexpr int firstCommandTries = 10;

std::string text(LONG code)
{
    return pcsc_stringify_error(code);
}

[[noreturn]] void failed(const std::string& reader, const std::string& what, LONG code)
{
    if (code == SCARD_E_NO_SERVICE || code == SCARD_E_SERVICE_STOPPED)
        throw Error(ErrorKind::Card, reader, "no PC/SC service is running (start pcscd)");
    if (code == SCARD_W_REMOVED_CARD || code == SCARD_E_NO_SMARTCARD)
        throw Error(ErrorKind::Card, reader, "the card was taken out of " + reader);
    if (code == SCARD_E_READER_UNAVAILABLE || code == SCARD_E_UNKNOWN_READER)
        throw Error(ErrorKind::Card, reader, "the reader " + reader + " is gone");
    throw Error(ErrorKind::Card, reader, what + ": " + text(code));
}

// An established context with the service, released on every way out.
class Context {
public:
    Context()
    {
        const LONG code = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
        if (code != SCARD_S_SUCCESS)
            failed("", "the PC/SC service cannot be reached", code);
    }
    ~Context() { SCardReleaseContext(context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    SCARDCONTEXT get() const { return context_; }

private:
    SCARDCONTEXT context_ = 0;
};

class PcscTransport final : public card::Transport {
public:
    PcscTransport(const std::string& reader, const std::function<void(const std::string&)>& waiting) : reader_(reader)
    {
        // Another program holding the card, or one that has just ended while
        // the service still releases the card, is a matter of a moment:
        // wait a few seconds for it, saying so once.
        const auto until = std::chrono::steady_clock::now() + sharingWait;
        LONG code = SCARD_S_SUCCESS;
        for (bool said = false;; said = true) {
            code = SCardConnect(context_.get(), reader.c_str(), SCARD_SHARE_EXCLUSIVE,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
            if (code != SCARD_E_SHARING_VIOLATION || std::chrono::steady_clock::now() >= until)
                break;
            if (!said && waiting)
                waiting("another program is using the card in " + reader + "; waiting for it up to " +
                        std::to_string(sharingWait.count()) + " seconds");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (code == SCARD_E_SHARING_VIOLATION)
            throw Error(ErrorKind::Card, reader,
                        "another program is using the card in " + reader + " (waited " +
                            std::to_string(sharingWait.count()) + " seconds); try again once it has finished");
        if (code != SCARD_S_SUCCESS)
            failed(reader, "cannot connect to the card in " + reader, code);
        BYTE atr[MAX_ATR_SIZE];
        DWORD atrLength = sizeof atr, state = 0, names = 0;
        if (SCardStatus(card_, nullptr, &names, &state, &protocol_, atr, &atrLength) == SCARD_S_SUCCESS)
            atr_.assign(atr, atr + atrLength);
    }
    ~PcscTransport() override { SCardDisconnect(card_, SCARD_RESET_CARD); }

    card::ByteVector transmit(const card::ByteVector& command) override
    {
        card::ByteVector response(65536 + 2); // an extended answer and its status word
        DWORD length = 0;
        LONG code = SCARD_S_SUCCESS;
        // Just after a card comes (a simulator started again on its card
        // file, say), the service may fail the connection's first command
        // before it reaches the card ("Transaction failed"), or say the
        // card was reset. That command never reached the card: connected
        // again, it is sent again, a few times. Once one command has gone
        // through, a failure is the card's, and is told.
        for (int attempt = 0;; ++attempt) {
            const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
            length = static_cast<DWORD>(response.size());
            code = SCardTransmit(card_, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                                 response.data(), &length);
            const bool neverSent = code == SCARD_E_NOT_TRANSACTED || code == SCARD_W_RESET_CARD;
            if (code == SCARD_S_SUCCESS || !neverSent || transmitted_ || attempt == firstCommandTries - 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            SCardReconnect(card_, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD,
                           &protocol_);
        }
        if (code != SCARD_S_SUCCESS)
            failed(reader_, "the command could not reach the card", code);
        transmitted_ = true;
        response.resize(length);
        return response;
    }

    card::ByteVector atr() const override { return atr_; }
    std::string reader() const override { return reader_; }

private:
    Context context_;
    std::string reader_;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    card::ByteVector atr_;
    bool transmitted_ = false; // a command of this connection has reached the card
};

} // namespace

std::vector<Reader> listReaders()
{
    Context context;
    DWORD length = 0;
    LONG code = SCardListReaders(context.get(), nullptr, nullptr, &length);
    if (code == SCARD_E_NO_READERS_AVAILABLE)
        return {};
    if (code != SCARD_S_SUCCESS)
        failed("", "the readers cannot be listed", code);
    std::string names(length, '\0');
    code = SCardListReaders(context.get(), nullptr, names.data(), &length);
    if (code == SCARD_E_NO_READERS_AVAILABLE)
        return {};
    if (code != SCARD_S_SUCCESS)
        failed("", "the readers cannot be listed", code);
    std::vector<Reader> readers;
    for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
        const std::string name(names.c_str() + at);
        readers.push_back({name, false});
        at += name.size() + 1;
    }
    std::vector<SCARD_READERSTATE> states(readers.size());
    for (std::size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers[i].name.c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (!states.empty() &&
        SCardGetStatusChange(context.get(), 0, states.data(), static_cast<DWORD>(states.size())) == SCARD_S_SUCCESS)
        for (std::size_t i = 0; i < readers.size(); ++i)
            readers[i].cardPresent = (states[i].dwEventState & SCARD_STATE_PRESENT) != 0;
    return readers;
}

std::string chooseReader(const std::vector<Reader>& readers, const std::string& wanted)
{
    std::string all;
    for (const auto& reader : readers)
        all += (all.empty() ? "" : ", ") + ("\"" + reader.name + "\"");
    if (!wanted.empty()) {
        for (const auto& reader : readers)
            if (reader.name == wanted)
                return wanted;
        throw Error(ErrorKind::Card, wanted,
                    "no reader is called \"" + wanted + "\"" +
                        (all.empty() ? "; there is none" : "; there are " + all));
    }
    if (readers.empty())
        throw Error(ErrorKind::Card, "", "no card reader is connected");
    std::vector<std::string> holding;
    for (const auto& reader : readers)
        if (reader.cardPresent)
            holding.push_back(reader.name);
    if (holding.empty())
        throw Error(ErrorKind::Card, "", "no reader holds a card (readers: " + all + ")");
    if (holding.size() > 1) {
        std::string named;
        for (const auto& name : holding)
            named += (named.empty() ? "" : ", ") + ("\"" + name + "\"");
        throw Error(ErrorKind::Card, "", "several readers hold a card (" + named + "): --reader names one");
    }
    return holding.front();
}

struct ReaderWatch::State {
    Context context;
    std::vector<SCARD_READERSTATE> states; // the readers, then the notification entry
    std::vector<std::string> names;
    std::atomic<bool> cancelled{false};
    bool first = true;
};

ReaderWatch::ReaderWatch() : state_(std::make_unique<State>()) {}

ReaderWatch::~ReaderWatch() = default;

void ReaderWatch::cancel()
{
    state_->cancelled = true;
    SCardCancel(state_->context.get());
}

std::vector<Reader> ReaderWatch::waitForChange()
{
    State& s = *state_;
    for (;;) {
        if (s.cancelled)
            return {};
        if (!s.first) {
            // Waits on every reader's state and on the list of readers itself.
            std::vector<SCARD_READERSTATE> states = s.states;
            SCARD_READERSTATE notification{};
            notification.szReader = "\\\\?PnP?\\Notification";
            notification.dwCurrentState = static_cast<DWORD>(s.names.size() << 16);
            states.push_back(notification);
            for (std::size_t i = 0; i < s.names.size(); ++i)
                states[i].szReader = s.names[i].c_str();
            const LONG code =
                SCardGetStatusChange(s.context.get(), INFINITE, states.data(), static_cast<DWORD>(states.size()));
            if (s.cancelled || code == SCARD_E_CANCELLED)
                return {};
            if (code != SCARD_S_SUCCESS && code != SCARD_E_TIMEOUT)
                failed("", "the readers cannot be watched", code);
        }
        s.first = false;
        const std::vector<Reader> readers = listReaders();
        s.names.clear();
        s.states.assign(readers.size(), SCARD_READERSTATE{});
        for (const auto& reader : readers)
            s.names.push_back(reader.name);
        for (std::size_t i = 0; i < readers.size(); ++i) {
            s.states[i].szReader = s.names[i].c_str();
            s.states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        // Learn each reader's present state, so that the next wait is for a change.
        if (!s.states.empty())
            SCardGetStatusChange(s.context.get(), 0, s.states.data(), static_cast<DWORD>(s.states.size()));
        for (auto& state : s.states)
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        return readers;
    }
}

std::unique_ptr<card::Transport> connect(const std::string& reader,
                                         const std::function<void(const std::string&)>& waiting)
{
    return std::make_unique<PcscTransport>(reader, waiting);
}

} // namespace tolvane::pcsc
