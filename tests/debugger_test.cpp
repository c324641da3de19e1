// The debug adapter's wire and its answers to requests it cannot serve: a
// framing fault ends the input with a reason, a request that does not fit
// gets a failure that says why, and the adapter goes on serving.

#include "core/apdu/script.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/card/operations.h"
#include "core/card/session.h"
#include "core/checks/checks.h"
#include "core/gp/secure_channel.h"
#include "core/runtime/card/card_manager.h"
#include "core/runtime/debug/dap_channel.h"
#include "core/runtime/debug/debugger.h"
#include "corpus_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace tolvane {
namespace {

using nlohmann::json;

std::string framed(const std::string& body)
{
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(DapChannel, ReadsFramedMessagesAndNamesWhatItCannot)
{
    const struct {
        const char* what;
        std::string input;
        std::vector<std::string> commands; // of the messages read, in order
        std::string problem;               // in the reason, empty for none
    } rows[] = {
        {"two messages in one write", framed(R"({"command":"a"})") + framed(R"({"command":"b"})"), {"a", "b"}, ""},
        {"other header fields", "Content-Type: x\r\n" + framed(R"({"command":"a"})"), {"a"}, ""},
        {"no Content-Length", "Content-Type: x\r\n\r\n{}", {}, "without a Content-Length"},
        {"a length past the limit", "Content-Length: 99999999999\r\n\r\n{}", {}, "without a Content-Length"},
        {"a length that is no number", "Content-Length: 1x\r\n\r\n{}", {}, "without a Content-Length"},
        {"a body that is no JSON, then one that is", framed("{nope") + framed(R"({"command":"b"})"), {"b"},
         "no JSON object"},
        {"a body that is an array", framed("[1,2]"), {}, "no JSON object"},
        {"a header that never ends", std::string(5000, 'x'), {}, "past 4096 bytes"},
        {"the input ending inside a body", "Content-Length: 10\r\n\r\n{}", {}, ""},
        {"a body nested past the limit, then one that is not",
         framed(R"({"command":"deep","x":)" + std::string(65, '[') + std::string(65, ']') + "}") +
             framed(R"({"command":"b","x":"\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["})"),
         {"b"},
         "nested deeper than 64"},
    };
    for (const auto& row : rows) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_EQ(::write(fds[1], row.input.data(), row.input.size()), static_cast<ssize_t>(row.input.size()));
        ::close(fds[1]);
        runtime::DapChannel channel(fds[0], -1);
        std::vector<std::string> commands;
        while (const auto message = channel.read())
            commands.push_back(message->value("command", ""));
        ::close(fds[0]);
        EXPECT_EQ(commands, row.commands) << row.what;
        if (row.problem.empty()) {
            EXPECT_EQ(channel.problem(), "") << row.what;
        } else {
            EXPECT_NE(channel.problem().find(row.problem), std::string::npos) << row.what << ": " << channel.problem();
        }
    }
}

// An adapter on one end of a socket pair, serving a card with nothing
// loaded; the test is its client on the other.
class Adapter {
public:
    Adapter()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_ = fds[0];
        server_ = fds[1];
        serverChannel_ = std::make_unique<runtime::DapChannel>(server_, server_);
        clientChannel_ = std::make_unique<runtime::DapChannel>(client_, client_);
        runtime::DebugCardMaker maker;
        maker.make = [](const runtime::DebugLaunch& launch) {
            if (!launch.files.empty())
                throw Error(ErrorKind::Simulation, launch.files.front(), "cannot be read");
            return std::make_unique<runtime::SimulatedCard>();
        };
        maker.install = [](runtime::SimulatedCard&) { return std::vector<std::string>{}; };
        debugger_ = std::make_unique<runtime::Debugger>(*serverChannel_, maker, runtime::DebugLaunch{});
        thread_ = std::thread([this] { status_ = debugger_->serve(); });
    }
    ~Adapter()
    {
        ::shutdown(client_, SHUT_RDWR);
        thread_.join();
        ::close(client_);
        ::close(server_);
    }

    void send(json request)
    {
        request["seq"] = ++seq_;
        request["type"] = "request";
        clientChannel_->write(request);
    }
    // The response to `request`, the events before it kept; null where none
    // comes within ten seconds.
    json ask(json request)
    {
        send(std::move(request));
        while (const auto message = next()) {
            if ((*message)["type"] == "response" && (*message)["request_seq"] == seq_)
                return *message;
            events.push_back(*message);
        }
        return {};
    }
    // The next event named `name`, the messages before it kept.
    json waitFor(const std::string& name)
    {
        while (const auto message = next()) {
            if ((*message)["type"] == "event" && (*message)["event"] == name)
                return *message;
            events.push_back(*message);
        }
        return {};
    }
    void finish()
    {
        ::shutdown(client_, SHUT_WR);
        thread_.join();
        thread_ = std::thread([] {});
    }
    // Once finished: whether the adapter wrote what the client has not read.
    bool wroteMore() { return clientChannel_->ready(); }

    std::vector<json> events;
    int status_ = -1;

private:
    std::optional<json> next()
    {
        for (int waited = 0; waited < 1000 && !clientChannel_->ready(); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return clientChannel_->ready() ? clientChannel_->read() : std::nullopt;
    }

    int client_ = -1, server_ = -1, seq_ = 0;
    std::unique_ptr<runtime::DapChannel> serverChannel_, clientChannel_;
    std::unique_ptr<runtime::Debugger> debugger_;
    std::thread thread_;
};

// A package loaded by commands typed in the debug console: the breakpoint
// asked for before it was on the card is laid over it, and stops there. A
// load brings no Debug component (it is never sent to a card), so the
// breakpoint is by instruction: the package and process's call of credit
// (line 138), at 00B0.
TEST(Debugger, LaysBreakpointsOverAPackageLoadedInItsSession)
{
    const auto path = (testing::corpusDir() / "cap" / "javacard-simulator__wallet.cap").string();
    if (!haveCorpus(path))
        GTEST_SKIP() << "no corpus";
    // A host's load, recorded against a card like the adapter's: the card's
    // challenge comes from its counter, so the same commands open the same
    // session on the other.
    struct Recorder : card::Transport {
        explicit Recorder(runtime::SimulatedCard& card) : card_(card) {}
        apdu::ByteVector transmit(const apdu::ByteVector& command) override
        {
            sent.push_back(command);
            return card_.transmit(command).bytes();
        }
        apdu::ByteVector atr() const override { return card_.atr(); }
        std::string reader() const override { return "recorded"; }
        std::vector<apdu::ByteVector> sent;

    private:
        runtime::SimulatedCard& card_;
    };
    runtime::SimulatedCard recorded;
    Recorder recorder(recorded);
    card::Session session(recorder);
    session.selectSecurityDomain(runtime::issuerDomainAid());
    card::ChannelOptions channel;
    channel.keys = {gp::defaultTestKey(), gp::defaultTestKey(), gp::defaultTestKey()};
    session.openSecureChannel(channel);
    apdu::Options options;
    options.parameters = {0x31, 0x32, 0x33, 0x34, 0x35};
    card::sendScript(session, apdu::makeScript(makeLoadFile(corpusEntries(path), {}, path), options, path));

    Adapter adapter;
    adapter.ask({{"command", "initialize"}});
    adapter.ask({{"command", "launch"}});
    const std::string reference = "com/sun/javacard/samples/wallet@00B0"; // the name its Header gives
    const json before = adapter.ask({{"command", "setInstructionBreakpoints"},
                                     {"arguments", {{"breakpoints", {{{"instructionReference", reference}}}}}}});
    EXPECT_EQ(before["body"]["breakpoints"][0]["verified"], false) << before.dump();
    adapter.ask({{"command", "configurationDone"}});
    for (const auto& command : recorder.sent) {
        const json answer =
            adapter.ask({{"command", "evaluate"}, {"arguments", {{"expression", hexText(command, HexCase::Upper)}}}});
        const std::string result = answer["body"].value("result", "");
        ASSERT_TRUE(result.size() >= 5 && result.substr(result.size() - 5) == "90 00") << answer.dump();
    }
    for (const char* command : {"00A404000BD1560001320A64656D9F01", "80200000053132333435"})
        EXPECT_EQ(adapter.ask({{"command", "evaluate"}, {"arguments", {{"expression", command}}}})["body"]["result"], "90 00");
    // The credit stops at the call of credit, in process.
    adapter.send({{"command", "evaluate"}, {"arguments", {{"expression", "803000000164"}}}});
    const json stopped = adapter.waitFor("stopped");
    EXPECT_EQ(stopped["body"]["reason"], "breakpoint");
    const json frames = adapter.ask({{"command", "stackTrace"}, {"arguments", {{"threadId", 1}}}});
    EXPECT_EQ(frames["body"]["stackFrames"][0]["instructionPointerReference"], reference) << frames.dump();
    EXPECT_EQ(frames["body"]["stackFrames"].size(), 1u) << frames.dump();
    // Disconnected while stopped in a command: the command's answer and
    // output are never sent after the disconnect's response.
    EXPECT_EQ(adapter.ask({{"command", "disconnect"}})["success"], true);
    adapter.finish();
    EXPECT_FALSE(adapter.wroteMore());
}

TEST(Debugger, RequestsItCannotServeFailWithAReasonAndItGoesOn)
{
    Adapter adapter;
    const struct {
        json request;
        std::string reason; // in the failure's message; empty: a success
    } rows[] = {
        {{{"command", "stackTrace"}}, "not stopped"},
        {{{"command", "configurationDone"}}, "Launch the card first"},
        {{{"command", "evaluate"}, {"arguments", {{"expression", "00A40400"}}}}, "not launched"},
        {{{"command", "flyToTheMoon"}}, "'flyToTheMoon' is not a request this adapter serves"},
        {{{"command", 7}}, "'' is not a request"},
        {{{"command", "launch"}, {"arguments", {{"capFiles", "one.cap"}}}}, "arguments do not fit"},
        {{{"command", "launch"}, {"arguments", {{"capFiles", {"/nowhere/one.cap"}}}}}, "/nowhere/one.cap: cannot be read"},
        {{{"command", "launch"}, {"arguments", {{"script", "/nowhere/script"}}}}, "Cannot read the script"},
        {{{"command", "initialize"}}, ""},
        {{{"command", "launch"}, {"arguments", json::object()}}, ""},
        {{{"command", "launch"}}, "launched already"},
        {{{"command", "setBreakpoints"}, {"arguments", {{"source", {{"path", "/src/A.java"}}}, {"breakpoints", {{{"line", 3}}}}}}}, ""},
        {{{"command", "variables"}, {"arguments", {{"variablesReference", 5}}}}, "not stopped"},
        {{{"command", "configurationDone"}}, ""},
        {{{"command", "configurationDone"}}, "done already"},
        {{{"command", "evaluate"}, {"arguments", {{"expression", "zz"}, {"context", "repl"}}}}, "no command APDU"},
        {{{"command", "evaluate"}, {"arguments", {{"expression", "numBytes"}, {"context", "hover"}}}}, "No local named"},
        {{{"command", "threads"}}, ""},
        {{{"command", "continue"}, {"arguments", {{"threadId", 1}}}}, ""},
        // Numbers that are no whole numbers of the protocol's range.
        {{{"command", "setBreakpoints"}, {"arguments", {{"breakpoints", {{{"line", 1e300}}}}}}}, "no whole number"},
        {{{"command", "setBreakpoints"}, {"arguments", {{"lines", {3.5}}}}}, "no whole number"},
        {{{"command", "setInstructionBreakpoints"},
          {"arguments", {{"breakpoints", {{{"instructionReference", "p@0010"}, {"offset", -1e19}}}}}}},
         "no whole number"},
    };
    for (const auto& row : rows) {
        const json response = adapter.ask(row.request);
        ASSERT_TRUE(response.is_object()) << row.request.dump();
        EXPECT_EQ(response["success"], row.reason.empty()) << row.request.dump() << " " << response.dump();
        if (!row.reason.empty()) {
            EXPECT_NE(response.value("message", "").find(row.reason), std::string::npos) << response.dump();
        }
    }
    // The card answers from the console: its issuer security domain.
    const json answer = adapter.ask({{"command", "evaluate"}, {"arguments", {{"expression", "00A4040000"}, {"context", "repl"}}}});
    const std::string result = answer["body"].value("result", "");
    EXPECT_TRUE(result.size() > 5 && result.substr(result.size() - 5) == "90 00") << answer.dump();
    const json placed = adapter.ask({{"command", "setBreakpoints"},
                                     {"arguments", {{"source", {{"path", "/src/A.java"}}}, {"breakpoints", {{{"line", 3}}}}}}});
    EXPECT_EQ(placed["body"]["breakpoints"][0]["verified"], false) << placed.dump();
    // terminate ends the run; the disconnect a client sends next is answered.
    EXPECT_EQ(adapter.ask({{"command", "terminate"}})["success"], true);
    EXPECT_NE(adapter.ask({{"command", "evaluate"}, {"arguments", {{"expression", "00A4040000"}}}})
                  .value("message", "")
                  .find("terminated"),
              std::string::npos);
    const json ended = adapter.ask({{"command", "disconnect"}});
    EXPECT_EQ(ended["success"], true) << ended.dump();
    std::vector<std::string> names;
    for (const auto& event : adapter.events)
        names.push_back(event.value("event", ""));
    EXPECT_NE(std::find(names.begin(), names.end(), "initialized"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "terminated"), names.end());
    adapter.finish();
    EXPECT_EQ(adapter.status_, 0);
}

} // namespace
} // namespace tolvane
