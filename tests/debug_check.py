"""Coverage and the debugger, as their users meet them, over the wallet of the
corpus (which has a Debug component).

Coverage: a script's LCOV tracefile, line by line against what the script
must reach, read by lcov --summary, added to itself by lcov -a, made HTML by
genhtml; a package without Debug by bytecode offset in JSON; a file that
cannot be written.

The debugger: a Debug Adapter Protocol client of our own drives --dap over
its standard input and output (and over TCP): breakpoints by source line,
the locals' values, next, stepIn and stepOut as the line table says, an
uncaught exception, commands from the console and from a script, stop on
entry, and a package without Debug by instruction.

Usage: debug_check.py CLI CORPUS. Prints each problem; exits 1 where any,
77 where there is no corpus (1 under CI=true)."""
import json
import jsonschema
import os
import select
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from card_check import report  # noqa: E402  (the same summary)

WALLET = "javacard-simulator__wallet.cap"
SELECT_WALLET = "00A404000BD1560001320A64656D9F01"
PIN = "3132333435"
SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "coverage.schema.json")
# Select, balance, verify the PIN, credit 100, balance, debit 255 (refused).
SCRIPT = "%s\n8050000002\n80200000053132333435\n8030000001 64\n8050000002\n8040000001FF\n" % SELECT_WALLET


def run(cli, *args, stdin=None):
    return subprocess.run([cli] + list(args), input=stdin, capture_output=True, text=True, timeout=120)


def tracefile(text):
    """An LCOV tracefile's records by source file: lines, functions, branches."""
    records = {}
    for line in text.splitlines():
        key, _, value = line.partition(":")
        if key == "SF":
            record = records.setdefault(value, {"DA": {}, "FNDA": {}, "FN": {}, "BRDA": {}})
        elif key == "DA":
            number, count = value.split(",")[:2]
            record["DA"][int(number)] = int(count)
        elif key == "FN":
            number, name = value.split(",", 1)
            record["FN"][name] = int(number)
        elif key == "FNDA":
            count, name = value.split(",", 1)
            record["FNDA"][name] = int(count)
        elif key == "BRDA":
            number, block, branch, taken = value.split(",")
            record["BRDA"][(int(number), int(block), int(branch))] = None if taken == "-" else int(taken)
    return records


def coverage_cases(cli, corpus, problems):
    wallet = os.path.join(corpus, "cap", WALLET)
    with tempfile.TemporaryDirectory() as folder:
        info = os.path.join(folder, "wallet.info")
        result = run(cli, "--simulate", "-q", "--params", PIN, "--coverage", info, wallet, stdin=SCRIPT)
        if result.returncode != 0 or not os.path.exists(info):
            problems.append("--coverage: exit %d, %s" % (result.returncode, result.stderr))
            return
        with open(info) as text:
            records = tracefile(text.read())
        source = "com/sun/javacard/samples/wallet/Wallet.java"
        if list(records) != [source]:
            problems.append("coverage: source files %s" % list(records))
            return
        record = records[source]
        # Lines of Wallet.java and how often the script must run them: the
        # constructor once, process for each of the six commands, the PIN
        # check in credit passed (its throw never runs), the balance read
        # twice, deselect never, the debit's amount refused.
        must = {57: 1, 113: 6, 116: 6, 153: 0, 155: 1, 96: 0, 225: 2, 213: 1, 216: 0}
        for line, count in must.items():
            if record["DA"].get(line) != count:
                problems.append("coverage: line %d ran %s times, not %d" % (line, record["DA"].get(line), count))
        calls = {"Wallet.process(Ljavacard/framework/APDU;)V": 6, "Wallet.deselect()V": 0,
                 "Wallet.getBalance(Ljavacard/framework/APDU;)V": 2, "Wallet.<init>([BSB)V": 1}
        for name, count in calls.items():
            if record["FNDA"].get(name) != count or name not in record["FN"]:
                problems.append("coverage: %s called %s times, not %d" % (name, record["FNDA"].get(name), count))
        # process's switch (line 130): each case its commands, none to the
        # default; the debit's amount test (line 211) took the refusal; the
        # branch after it never ran.
        switch = sorted(taken for (line, _, _), taken in record["BRDA"].items() if line == 130)
        if switch != [0, 1, 1, 1, 2]:
            problems.append("coverage: the switch's outcomes %s" % switch)
        if record["BRDA"].get((216, 0, 0), 0) is not None:
            problems.append("coverage: a branch that never ran is not '-': %s" % record["BRDA"].get((216, 0, 0)))
        summary = subprocess.run(["lcov", "--summary", info, "--rc", "lcov_branch_coverage=1"],
                                 capture_output=True, text=True)
        lines_hit = sum(1 for count in record["DA"].values() if count)
        expected = "(%d of %d lines)" % (lines_hit, len(record["DA"]))
        if summary.returncode != 0 or expected not in summary.stdout + summary.stderr or "branches" not in summary.stdout:
            problems.append("lcov --summary: %s %s, wanted %s" % (summary.stdout, summary.stderr, expected))
        merged = os.path.join(folder, "merged.info")
        added = subprocess.run(["lcov", "-q", "-a", info, "-a", info, "-o", merged], capture_output=True, text=True)
        if added.returncode != 0:
            problems.append("lcov -a: %s" % added.stderr)
        else:
            with open(merged) as text:
                twice = tracefile(text.read()).get(source, {"DA": {}})
            if twice["DA"].get(113) != 12:
                problems.append("lcov -a: line 113 ran %s times, not 12" % twice["DA"].get(113))
        html = os.path.join(folder, "html")
        made = subprocess.run(["genhtml", "-q", "--no-source", "--branch-coverage", "-o", html, info],
                              capture_output=True, text=True)
        if made.returncode != 0 or not os.path.exists(os.path.join(html, "index.html")):
            problems.append("genhtml: %s" % made.stderr)

        # Without Debug: JSON by method and offset, its counts adding up to
        # the instructions run (the installs' as well as the commands').
        sha3 = os.path.join(corpus, "cap", "OptimizedJCAlgs__sha3.cap")
        covered = os.path.join(folder, "sha3.cov")
        result = run(cli, "--simulate", "--json", "--coverage", covered, sha3,
                     stdin="00A4040008556E697454657374\nB061000003616263\n")
        try:
            with open(covered) as text:
                document = json.load(text)
            with open(SCHEMA) as text:
                jsonschema.Draft202012Validator(json.load(text)).validate(document)
            packages = document["packages"]
            methods = packages[0]["methods"]
            ran = sum(i["count"] for m in methods for i in m["instructions"])
            commands = sum(json.loads(line).get("instructions", 0) for line in result.stdout.splitlines()
                           if '"command"' in line)
            answers = [json.loads(line)["sw"] for line in result.stdout.splitlines() if '"command"' in line]
            branches = [b for m in methods for b in m["branches"]]
            if answers != ["9000", "9000"] or packages[0]["debug"] or ran <= commands or not branches or \
                    not all(len(b["outcomes"]) >= 2 for b in branches):
                problems.append("coverage without Debug: %s, ran %d, commands %d" % (answers, ran, commands))
        except (OSError, ValueError, KeyError, IndexError, jsonschema.ValidationError) as error:
            problems.append("coverage without Debug: %s, exit %d, %s" % (error, result.returncode, result.stderr))

        # A file that cannot be written: said, exit 1, nothing left there.
        blocker = os.path.join(folder, "file")
        open(blocker, "w").close()
        result = run(cli, "--simulate", "-q", "--coverage", os.path.join(blocker, "x.info"), wallet, stdin=SCRIPT)
        if result.returncode != 1 or "cannot write the coverage" not in result.stderr:
            problems.append("coverage to a path under a file: exit %d, %s" % (result.returncode, result.stderr))


class Dap:
    """A debug adapter's client: requests, their responses, and the events
    that come meanwhile."""

    def __init__(self, cli, *args, port=None):
        command = [cli, "--simulate", "--dap"] + ([str(port)] if port else []) + list(args)
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.socket = None
        if port:
            for _ in range(100):
                try:
                    self.socket = socket.create_connection(("127.0.0.1", port))
                    break
                except OSError:
                    time.sleep(0.05)
        self.seq = 1
        self.events = []
        self.buffer = b""

    def send(self, command, **arguments):
        body = json.dumps({"seq": self.seq, "type": "request", "command": command, "arguments": arguments})
        data = b"Content-Length: %d\r\n\r\n%s" % (len(body), body.encode())
        if self.socket:
            self.socket.sendall(data)
        else:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        self.seq += 1
        return self.seq - 1

    def receive(self, timeout=20):
        deadline = time.time() + timeout
        while b"\r\n\r\n" not in self.buffer or len(self.buffer) < self.needed():
            source = self.socket or self.process.stdout
            ready, _, _ = select.select([source], [], [], max(0, deadline - time.time()))
            if not ready:
                raise TimeoutError("no message from the adapter")
            chunk = self.socket.recv(65536) if self.socket else os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise EOFError("the adapter closed its output")
            self.buffer += chunk
        header, rest = self.buffer.split(b"\r\n\r\n", 1)
        length = int(header.split(b":")[1])
        self.buffer = rest[length:]
        return json.loads(rest[:length])

    def needed(self):
        header, _ = self.buffer.split(b"\r\n\r\n", 1)
        return len(header) + 4 + int(header.split(b":")[1])

    def response(self, seq):
        while True:
            message = self.receive()
            if message["type"] == "response" and message["request_seq"] == seq:
                return message
            self.events.append(message)

    def request(self, command, **arguments):
        return self.response(self.send(command, **arguments))

    def event(self, name):
        for i, message in enumerate(self.events):
            if message.get("event") == name:
                return self.events.pop(i)
        while True:
            message = self.receive()
            if message.get("event") == name:
                return message
            self.events.append(message)

    def outputs(self):
        return "".join(m["body"]["output"] for m in self.events if m.get("event") == "output")

    def top(self):
        """The innermost frames, and the locals of the innermost."""
        frames = self.request("stackTrace", threadId=1)["body"]["stackFrames"]
        scopes = self.request("scopes", frameId=frames[0]["id"])["body"]["scopes"]
        variables = self.request("variables", variablesReference=scopes[0]["variablesReference"])["body"]
        return frames, {v["name"]: v for v in variables["variables"]}

    def close(self):
        try:
            self.request("disconnect")
        except (TimeoutError, EOFError, OSError):
            pass
        try:
            return self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return -1


def expect(problems, what, condition, seen):
    if not condition:
        problems.append("%s: %s" % (what, seen))


def debugger_cases(cli, corpus, problems):
    wallet = os.path.join(corpus, "cap", WALLET)
    source = "/work/src/com/sun/javacard/samples/wallet/Wallet.java"
    dap = Dap(cli, "--params", PIN, wallet)
    try:
        initialized = dap.request("initialize", adapterID="tolvane", linesStartAt1=True, columnsStartAt1=False)
        filters = [f["filter"] for f in initialized["body"]["exceptionBreakpointFilters"]]
        expect(problems, "initialize's exception filters", filters == ["uncaught", "all"], initialized)
        launched = dap.request("launch")  # the command line's CAP file and options
        expect(problems, "launch", launched["success"], launched)
        dap.event("initialized")
        # 157 has no code: the breakpoint moves to 159; 138 calls credit.
        placed = dap.request("setBreakpoints", source={"path": source},
                             breakpoints=[{"line": 138}, {"line": 157}, {"line": 174}])["body"]["breakpoints"]
        expect(problems, "breakpoints placed", [(b["verified"], b["line"]) for b in placed] ==
               [(True, 138), (True, 159), (True, 174)], placed)
        elsewhere = dap.request("setBreakpoints", source={"path": "/work/src/Other.java"},
                                breakpoints=[{"line": 3}])["body"]["breakpoints"]
        expect(problems, "a breakpoint in no package's source", not elsewhere[0]["verified"], elsewhere)
        dap.request("setExceptionBreakpoints", filters=["uncaught"])
        dap.request("configurationDone")
        answer = dap.request("evaluate", expression=SELECT_WALLET, context="repl")
        expect(problems, "SELECT from the console", answer["body"].get("result") == "90 00", answer)
        answer = dap.request("evaluate", expression="80200000053132333435", context="repl")
        expect(problems, "VERIFY from the console", answer["body"].get("result") == "90 00", answer)

        # A credit of 100: stops in process at the call of credit.
        credit = dap.send("evaluate", expression="8030000001 64", context="repl")
        stopped = dap.event("stopped")["body"]
        frames, local = dap.top()
        expect(problems, "the first stop", stopped["reason"] == "breakpoint" and
               [(f["name"], f["line"], f["column"]) for f in frames] == [("Wallet.process", 138, 0)] and
               frames[0]["source"]["path"] == source, (stopped, frames))
        expect(problems, "process's locals", set(local) == {"this", "apdu", "buffer"} and
               local["buffer"]["value"].startswith("byte[") and local["buffer"]["variablesReference"] > 0, local)
        buffer = dap.request("variables", variablesReference=local["buffer"]["variablesReference"], start=0, count=6)
        elements = [v["value"] for v in buffer["body"]["variables"]]
        expect(problems, "the APDU buffer's first bytes", elements == ["-128 (0x80)", "48 (0x30)", "0 (0x00)",
                                                                     "0 (0x00)", "1 (0x01)", "100 (0x64)"], elements)
        fields = dap.request("variables", variablesReference=local["this"]["variablesReference"])["body"]["variables"]
        expect(problems, "the applet's fields", {f["name"]: f["value"] for f in fields}.get("balance") == "0" and
               any(f["name"] == "pin" and f["value"].startswith("OwnerPIN (object ") for f in fields), fields)
        # The API's objects: the PIN's tries and state, never its value.
        pin = next(f for f in fields if f["name"] == "pin")
        shown = {v["name"]: v["value"] for v in
                 dap.request("variables", variablesReference=pin["variablesReference"])["body"]["variables"]}
        expect(problems, "the PIN's state", shown.get("triesRemaining") == "3" and shown.get("validated") == "true"
               and "12345" not in str(shown) and "3132333435" not in str(shown), shown)
        # stepIn: credit's first line; stepOut meets the breakpoint at 174.
        dap.request("stepIn", threadId=1)
        stopped = dap.event("stopped")["body"]
        frames, _ = dap.top()
        expect(problems, "stepIn", stopped["reason"] == "step" and
               [(f["name"], f["line"]) for f in frames] == [("Wallet.credit", 152), ("Wallet.process", 138)],
               (stopped, frames))
        dap.request("next", threadId=1)
        dap.event("stopped")
        frames, _ = dap.top()
        expect(problems, "next past the PIN check", frames[0]["line"] == 155, frames)
        dap.request("stepOut", threadId=1)
        stopped = dap.event("stopped")["body"]
        frames, local = dap.top()
        expect(problems, "the breakpoint at 159 on the way out", stopped["reason"] == "breakpoint" and
               frames[0]["line"] == 159, (stopped, frames))
        dap.request("continue", threadId=1)
        stopped = dap.event("stopped")["body"]
        frames, local = dap.top()
        expect(problems, "at 174, numBytes and byteRead", stopped["reason"] == "breakpoint" and
               frames[0]["line"] == 174 and local.get("numBytes", {}).get("value") == "1" and
               local.get("byteRead", {}).get("value") == "1" and "creditAmount" not in local, (frames, local))
        hover = dap.request("evaluate", expression="numBytes", frameId=frames[0]["id"], context="hover")
        expect(problems, "a local by its name", hover["body"].get("result") == "1", hover)
        busy = dap.request("evaluate", expression="8050000002", context="repl")
        expect(problems, "a command while one runs", not busy["success"], busy)
        dap.request("next", threadId=1)
        dap.event("stopped")
        frames, local = dap.top()
        expect(problems, "next to 177", frames[0]["line"] == 177 and local.get("creditAmount", {}).get("value") == "100",
               (frames, local))
        dap.request("stepOut", threadId=1)
        dap.event("stopped")
        frames, _ = dap.top()
        expect(problems, "stepOut to process", [f["name"] for f in frames] == ["Wallet.process"], frames)
        dap.request("continue", threadId=1)
        answer = dap.response(credit)
        expect(problems, "the credit's answer", answer["body"].get("result") == "90 00", answer)
        expect(problems, "the command as output", "=> 80 30 00 00 01 64\n<= 90 00" in dap.outputs(), dap.outputs())

        # A debit of -128: the ISOException nobody catches stops the card.
        dap.request("setBreakpoints", source={"path": source}, breakpoints=[])
        debit = dap.send("evaluate", expression="804000000180", context="repl")
        stopped = dap.event("stopped")["body"]
        frames, _ = dap.top()
        info = dap.request("exceptionInfo", threadId=1)["body"]
        expect(problems, "the uncaught exception", stopped["reason"] == "exception" and
               "ISOException reason 6A83" in stopped.get("description", "") and
               frames[0]["name"] == "Wallet.debit" and info["exceptionId"] == "javacard.framework.ISOException",
               (stopped, frames, info))
        dap.request("continue", threadId=1)
        answer = dap.response(debit)
        expect(problems, "the debit's answer", answer["body"].get("result") == "6A 83", answer)
        bad = dap.request("evaluate", expression="80 3", context="repl")
        expect(problems, "no command", not bad["success"] and "no command APDU" in bad.get("message", ""), bad)
        balance = dap.request("evaluate", expression="8050000002", context="repl")
        expect(problems, "the balance", balance["body"].get("result") == "00 64  90 00", balance)
    except (TimeoutError, EOFError, KeyError, IndexError) as error:
        problems.append("the debugger session: %r; events %s" % (error, dap.events[-5:]))
    status = dap.close()
    expect(problems, "the session's end", status == 0 and any(e.get("event") == "terminated" for e in dap.events),
           (status, dap.process.stderr.read().decode()))

    # Over TCP, a script, stopped on entry: the install method's first
    # instruction.
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "wallet.script")
        with open(script, "w") as text:
            text.write("# select, then the balance\n%s\n8050000002\n" % SELECT_WALLET)
        port = free_port()
        folded = os.path.join(folder, "session.folded")
        dap = Dap(cli, "--params", PIN, "--profile", folded, port=port)
        try:
            dap.request("initialize", adapterID="tolvane")
            launched = dap.request("launch", capFiles=[wallet], script=script, stopOnEntry=True)
            expect(problems, "launch over TCP", launched["success"], launched)
            dap.event("initialized")
            dap.request("configurationDone")
            stopped = dap.event("stopped")["body"]
            frames, local = dap.top()
            expect(problems, "stop on entry", stopped["reason"] == "entry" and frames[0]["name"] == "Wallet.install",
                   (stopped, frames))
            dap.request("continue", threadId=1)
            deadline = time.time() + 20
            while "<= 00 00 90 00" not in dap.outputs() and time.time() < deadline:
                dap.events.append(dap.receive())
            expect(problems, "the script's commands", "=> 80 50 00 00 02\n<= 00 00 90 00" in dap.outputs(),
                   dap.outputs())
            # As Emacs's dap-mode does: the process is ended as soon as
            # "exited" comes, so the profile must be kept before it.
            dap.send("disconnect")
            dap.event("exited")
        except (TimeoutError, EOFError, KeyError, IndexError) as error:
            problems.append("the debugger over TCP: %r; events %s" % (error, dap.events[-5:]))
        dap.process.kill()
        dap.process.wait()
        try:
            with open(folded) as text:
                stacks = [line.rsplit(" ", 1) for line in text.read().splitlines()]
        except OSError as error:
            stacks = [(str(error), "0")]
        expect(problems, "the session's profile", any(
            stack.endswith("com/sun/javacard/samples/wallet/Wallet.process") and int(count) > 0
            for stack, count in stacks), stacks)

    # A client that goes away while stopped, over TCP and stdio: the adapter
    # ends by itself, of no signal, and keeps its profile.
    for port in (free_port(), None):
        with tempfile.TemporaryDirectory() as folder:
            folded = os.path.join(folder, "session.folded")
            dap = Dap(cli, "--params", PIN, "--profile", folded, wallet, port=port)
            try:
                dap.request("initialize", adapterID="tolvane")
                dap.request("launch", stopOnEntry=True)
                dap.event("initialized")
                dap.request("configurationDone")
                dap.event("stopped")
            except (TimeoutError, EOFError, KeyError) as error:
                problems.append("a client that goes away: %r" % error)
            if dap.socket:
                dap.socket.close()
            dap.process.stdin.close()
            dap.process.stdout.close()
            try:
                status = dap.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                dap.process.kill()
                status = "still running"
            where = "over TCP" if port else "on stdio"
            expect(problems, "the adapter's end when its client goes away " + where, status in (0, 1), status)
            expect(problems, "the profile when the client goes away " + where, os.path.exists(folded), status)

    # The TCP port takes only this user's programs: a client of another
    # user is refused, and one of this user's is served after it.
    port = free_port()
    if os.geteuid() == 0:  # another user's process is made with setpriv, which needs root
        adapter = subprocess.Popen([cli, "--simulate", "--dap", str(port), wallet], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        probe = ("import socket, sys, time\nfor _ in range(100):\n    try:\n"
                 "        s = socket.create_connection(('127.0.0.1', %d)); break\n"
                 "    except OSError: time.sleep(0.05)\n"
                 "s.sendall(b'Content-Length: 40\\r\\n\\r\\n{\"seq\":1,\"type\":\"request\",\"command\":\"x\"}')\n"
                 "s.settimeout(10)\ntry:\n    sys.stdout.write(repr(s.recv(100)))\n"
                 "except ConnectionResetError:\n    sys.stdout.write(repr(b''))\n" % port)
        other = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable,
                                "-c", probe], capture_output=True, text=True, timeout=60)
        expect(problems, "a client of another user", other.stdout == "b''", (other.stdout, other.stderr))
        with socket.create_connection(("127.0.0.1", port)) as own:
            own.sendall(b'Content-Length: 40\r\n\r\n{"seq":1,"type":"request","command":"x"}')
            own.settimeout(10)
            expect(problems, "this user's client after it", b"not a request" in own.recv(4096), "")
        adapter.kill()
        said = adapter.communicate()[1]
        expect(problems, "the refusal said", "user 65534, not this one, was refused" in said, said)

    # Without Debug: frames by method and offset, locals by index, a
    # breakpoint at an instruction.
    sha3 = os.path.join(corpus, "cap", "OptimizedJCAlgs__sha3.cap")
    dap = Dap(cli, sha3)
    try:
        dap.request("initialize", adapterID="tolvane")
        dap.request("launch", stopOnEntry=True)
        dap.event("initialized")
        dap.request("configurationDone")
        dap.event("stopped")
        frames, local = dap.top()
        reference = frames[0]["instructionPointerReference"]
        expect(problems, "a frame without Debug", "source" not in frames[0] and frames[0]["line"] == 0 and "@" in reference,
               frames)
        dap.request("next", threadId=1, granularity="instruction")
        dap.event("stopped")
        after, _ = dap.top()
        expect(problems, "a step of one instruction", after[0]["instructionPointerReference"] != reference, after)
        local_names = list(local)
        expect(problems, "locals by index", local_names[:1] == ["local 0"] or local_names[:1] == ["this"], local)
    except (TimeoutError, EOFError, KeyError, IndexError) as error:
        problems.append("the debugger without Debug: %r; events %s" % (error, dap.events[-5:]))
        return
    dap.close()
    # Again, with a breakpoint at the second instruction the install runs.
    second = after[0]["instructionPointerReference"]
    dap = Dap(cli, sha3)
    try:
        dap.request("initialize", adapterID="tolvane")
        dap.request("launch")
        dap.event("initialized")
        placed = dap.request("setInstructionBreakpoints", breakpoints=[{"instructionReference": second}])
        expect(problems, "an instruction breakpoint", placed["body"]["breakpoints"][0]["verified"], placed)
        wrong = dap.request("setInstructionBreakpoints", breakpoints=[{"instructionReference": second, "offset": 65536},
                                                                      {"instructionReference": "no/package@0051"}])
        expect(problems, "breakpoints where no instruction is",
               [b["verified"] for b in wrong["body"]["breakpoints"]] == [False, False], wrong)
        dap.request("setInstructionBreakpoints", breakpoints=[{"instructionReference": second}])
        dap.request("configurationDone")
        stopped = dap.event("stopped")["body"]
        frames, _ = dap.top()
        expect(problems, "stopped at the instruction", stopped["reason"] == "breakpoint" and
               frames[0]["instructionPointerReference"] == second, (stopped, frames))
        dap.request("continue", threadId=1)
        answer = dap.request("evaluate", expression="00A4040008556E697454657374", context="repl")
        expect(problems, "SELECT without Debug", answer["body"].get("result") == "90 00", answer)
    except (TimeoutError, EOFError, KeyError, IndexError) as error:
        problems.append("the instruction breakpoint: %r; events %s" % (error, dap.events[-5:]))
    dap.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    cli, corpus = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.exists(os.path.join(corpus, "cap", WALLET)):
        print("no corpus at %s" % corpus)
        return 1 if os.environ.get("CI") == "true" else 77
    problems = []
    coverage_cases(cli, corpus, problems)
    debugger_cases(cli, corpus, problems)
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
