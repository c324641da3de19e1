#!/usr/bin/env python3
"""tolvane-cli --simulate as users run it: a script's commands answered, every
--json line valid against the schema, the exit statuses, and the simulated
card served to pcscd through the vpcd reader, where --readers lists it and
opensc-tool gets the applet's answers.

pcscd's socket path is fixed, so the vpcd part runs in a mount namespace of
its own (as root), with a tmpfs over /run, as card_check does.

Usage: simulate_check.py TOLVANE_CLI --schema SIMULATE_SCHEMA CORPUS_DIR
Exit 77 (skipped) where no namespace can be made, unless CI=true.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from card_check import READER, Rig, private_run, reenter_in_namespace  # noqa: E402  (the same set-up)

WALLET = "javacard-simulator__wallet.cap"
SELECT_WALLET = "00A404000BD1560001320A64656D9F01"
PIN = "3132333435"


def run(cli, *args, stdin=None):
    return subprocess.run([cli] + list(args), input=stdin, capture_output=True, text=True, timeout=120)


def script_cases(cli, corpus, validator, problems):
    wallet = os.path.join(corpus, "cap", WALLET)
    script = "# the wallet, PIN 12345\n%s\n8050000002\n80200000053132333435\n80300000 01 64\nreset\n" \
             "%s\n8050000002\n8040000001FF\n" % (SELECT_WALLET, SELECT_WALLET)
    result = run(cli, "--simulate", "--json", "--params", PIN, wallet, stdin=script)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    for line in lines:
        try:
            validator.validate(line)
        except jsonschema.ValidationError as error:
            problems.append("invalid JSON line %s: %s" % (line, str(error).splitlines()[0]))
    answers = [(line["command"], line["data"] + line["sw"]) for line in lines if "command" in line]
    wanted = [(SELECT_WALLET, "9000"), ("8050000002", "00009000"), ("80200000053132333435", "9000"),
              ("803000000164", "9000"), (SELECT_WALLET, "9000"), ("8050000002", "00649000"),
              ("8040000001FF", "6301")]  # the PIN is validated no more after the reset
    if result.returncode != 0 or answers != wanted:
        problems.append("the wallet's script: exit %d, %s" % (result.returncode, answers))
    if not any(line.get("reset") for line in lines) or lines[-1].get("commands") != 7:
        problems.append("the reset line or the figures are missing: %s" % lines[-2:])

    # A command that ends in an exception nobody caught: 6F00, and why.
    exceptions = os.path.join(corpus, "cap", "javacard-simulator__ExceptionTests.cap")
    result = run(cli, "--simulate", exceptions, stdin="00A40400051111111111\n8020000000\n")
    if "<= 6F 00" not in result.stdout or "TransactionException reason 1 (IN_PROGRESS)" not in result.stdout:
        problems.append("an uncaught exception is not named: %s" % result.stdout)

    # Exit statuses: a load refused (a library missing) 1, a script line that is no command 2.
    purse = os.path.join(corpus, "cap", "JCAlgTest__JavaPurse.cap")
    result = run(cli, "--simulate", purse, stdin="")
    if result.returncode != 1 or "A00000006203010C04 1.0, which is not on the card" not in result.stderr:
        problems.append("a missing import: exit %d, %s" % (result.returncode, result.stderr))
    library = os.path.join(corpus, "cap", "JCAlgTest__SampleLibrary.cap")
    result = run(cli, "--simulate", library, purse, stdin="")
    if result.returncode != 0 or "Installed" not in result.stdout:
        problems.append("the library loaded first: exit %d, %s %s" % (result.returncode, result.stdout, result.stderr))
    result = run(cli, "--simulate", wallet, stdin="00A4\nnot hex\n")
    if result.returncode != 2 or "line 1" not in result.stderr:
        problems.append("a script line that is no command: exit %d, %s" % (result.returncode, result.stderr))


def opensc(*apdus):
    arguments = ["opensc-tool", "--reader", "0"]
    for apdu in apdus:
        arguments += ["--send-apdu", ":".join(apdu[i:i + 2] for i in range(0, len(apdu), 2))]
    return subprocess.run(arguments, capture_output=True, text=True, timeout=60)


def vpcd_cases(rig, cli, corpus, problems):
    wallet = os.path.join(corpus, "cap", WALLET)
    log = open(os.path.join(rig.work, "simulator.log"), "w")
    simulator = subprocess.Popen([cli, "--simulate", "--vpcd", str(rig.port), "--params", PIN, wallet],
                                 stdout=log, stderr=subprocess.STDOUT)
    try:
        for _ in range(200):
            if "(card)" in rig.readers():
                break
            time.sleep(0.05)
        else:
            problems.append("--readers does not list the simulated card: %s" % rig.readers())
            return
        if READER not in rig.readers():
            problems.append("--readers names no %s: %s" % (READER, rig.readers()))
        result = opensc(SELECT_WALLET, "80200000053132333435", "803000000105", "8050000002")
        received = [line for line in result.stdout.splitlines() if line.startswith("Received")]
        if result.returncode != 0 or len(received) != 4 or "00 05" not in result.stdout or \
                any("SW1=0x90, SW2=0x00" not in line for line in received):
            problems.append("opensc-tool through vpcd: exit %d, %s %s" % (result.returncode, result.stdout,
                                                                          result.stderr))
    finally:
        simulator.send_signal(signal.SIGINT)
        try:
            status = simulator.wait(timeout=20)
        except subprocess.TimeoutExpired:
            simulator.kill()
            status = "none: it did not stop"
        log.close()
        if status != 0:
            problems.append("the simulator stopped with status %s" % status)


def main():
    arguments = sys.argv[1:]
    at = arguments.index("--schema")
    with open(arguments[at + 1]) as schema:
        validator = jsonschema.Draft202012Validator(json.load(schema))
    del arguments[at:at + 2]
    cli, corpus = os.path.abspath(arguments[0]), os.path.abspath(arguments[1])
    required = os.environ.get("CI") == "true"
    if not os.path.exists(os.path.join(corpus, "cap", WALLET)):
        print("no corpus at %s" % corpus)
        return 1 if required else 77
    status = reenter_in_namespace(__file__, required)
    if status is not None:
        return status
    private_run()
    problems = []
    script_cases(cli, corpus, validator, problems)
    with tempfile.TemporaryDirectory() as work:
        rig = Rig(cli, corpus, work, validator)
        rig.start_pcscd()
        try:
            vpcd_cases(rig, cli, corpus, problems)
        finally:
            rig.pcscd.send_signal(signal.SIGTERM)
            rig.pcscd.wait()
    for problem in problems:
        print(problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
