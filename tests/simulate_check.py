#!/usr/bin/env python3
"""tolvane-cli --simulate as users run it: a script's commands answered, every
--json line valid against the schema, the exit statuses, and the simulated
card served to pcscd through the vpcd reader, where --readers lists it,
opensc-tool gets the applet's answers, and python-fido2 registers and
authenticates with a U2F applet in extended mode (its attestation certificate
set in one extended command with its proprietary class F0, on a card of
--channels 4 as the applet was written for). An empty simulated card, served the same way, takes the card
modes (--send, --list, --put-keys, --delete) over SCP03 and over SCP02.

pcscd's socket path is fixed, so the vpcd part runs in a mount namespace of
its own (as root), with a tmpfs over /run, as card_check does.

Usage: simulate_check.py TOLVANE_CLI --schema SIMULATE_SCHEMA CORPUS_DIR
Exit 77 (skipped) where no namespace can be made, unless CI=true.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from card_check import READER, Rig, private_run, reenter_in_namespace, report  # noqa: E402  (the same set-up)

WALLET = "javacard-simulator__wallet.cap"
SELECT_WALLET = "00A404000BD1560001320A64656D9F01"
PIN = "3132333435"


def run(cli, *args, stdin=None):
    return subprocess.run([cli] + list(args), input=stdin, capture_output=True, text=True, timeout=120)


def card_file_cases(cli, problems):
    """One card file serves one simulator: a second is refused while the
    first keeps it, naming the file. A card file that cannot be written
    after a command served through vpcd is the card's error (exit 1), with
    what was lost said. The vpcd driver here is this script, on a port of
    its own: a message is a 2-byte length and its bytes."""
    with tempfile.TemporaryDirectory() as work, socket.socket() as driver:
        driver.bind(("127.0.0.1", 0))
        driver.listen(1)
        port = str(driver.getsockname()[1])
        folder = os.path.join(work, "cards")
        os.mkdir(folder)
        card_file = os.path.join(folder, "my.card")
        first = subprocess.Popen([cli, "--simulate", "--vpcd", port, "--card-file", card_file],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        link, _ = driver.accept()
        second = run(cli, "--simulate", "--vpcd", port, "--card-file", card_file)
        if second.returncode != 1 or "in use by another simulator" not in second.stderr or \
                card_file not in second.stderr:
            problems.append("a second simulator on one card file: exit %d, %s" % (second.returncode, second.stderr))
        # The card file's folder becomes a file: the next save fails.
        os.rename(folder, folder + ".gone")
        open(folder, "w").close()
        initialize_update = bytes.fromhex("80500000080102030405060708 00".replace(" ", ""))
        link.sendall(len(initialize_update).to_bytes(2, "big") + initialize_update)
        try:
            status = first.wait(timeout=30)
        except subprocess.TimeoutExpired:
            first.kill()
            status = "still running"
        said = first.stderr.read()
        link.close()
        if status != 1 or "cannot be saved" not in said or "without what changed since" not in said:
            problems.append("a card file that cannot be saved under vpcd: exit %s, %s" % (status, said[-600:]))


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

    # The profile of the same script: folded stacks whose counts add up to
    # the run's instructions, the wallet's methods under its process.
    with tempfile.TemporaryDirectory() as folder:
        folded_path = os.path.join(folder, "wallet.folded")
        profiled = run(cli, "--simulate", "--params", PIN, "--profile", folded_path, wallet, stdin=script)
        ran = [line for line in profiled.stdout.splitlines() if line.endswith(" s") and "instructions" in line]
        with open(folded_path) as folded:
            stacks = [line.rsplit(" ", 1) for line in folded.read().splitlines()]
        total = sum(int(count) for _, count in stacks)
        if profiled.returncode != 0 or not ran or int(ran[0].split()[2]) != total or \
                not any(stack.endswith("Wallet.process;com/sun/javacard/samples/wallet/Wallet.credit")
                        for stack, _ in stacks) or "Methods that ran most" not in profiled.stdout:
            problems.append("--profile: exit %d, %s, folded %s" % (profiled.returncode, ran, stacks))

    # A command the card answers itself says why, in the text and in the JSON.
    result = run(cli, "--simulate", "--json", wallet, stdin="82100000\n")
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    refused = [line for line in lines if "command" in line]
    if not refused or refused[0]["sw"] != "6881" or "channel 2 is not open" not in refused[0].get("card_reason", ""):
        problems.append("a command on a closed channel: %s" % lines)
    for line in lines:
        try:
            validator.validate(line)
        except jsonschema.ValidationError as error:
            problems.append("invalid JSON line %s: %s" % (line, str(error).splitlines()[0]))
    result = run(cli, "--simulate", wallet, stdin="82100000\n")
    if "The card answered without an applet: logical channel 2 is not open" not in result.stdout:
        problems.append("the reason is not in the text output: %s %s" % (result.stdout, result.stderr))

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


def stop(simulator, signal_number, log, what, problems):
    """Ends a --vpcd simulator by the signal a user sends: it must end, with status 0."""
    simulator.send_signal(signal_number)
    try:
        status = simulator.wait(timeout=20)
    except subprocess.TimeoutExpired:
        simulator.kill()
        status = "none: it did not stop"
    log.close()
    if status != 0:
        problems.append("%s stopped with status %s" % (what, status))


def vpcd_cases(rig, cli, corpus, problems):
    wallet = os.path.join(corpus, "cap", WALLET)
    log = open(os.path.join(rig.work, "simulator.log"), "w")
    folded_path = os.path.join(rig.work, "served.folded")
    simulator = subprocess.Popen([cli, "--simulate", "--vpcd", str(rig.port), "--params", PIN,
                                  "--profile", folded_path, wallet],
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
        stop(simulator, signal.SIGINT, log, "the simulator", problems)
    # Stopped, it wrote the profile of the commands it served.
    if not os.path.exists(folded_path) or "Wallet.process" not in open(folded_path).read():
        problems.append("--vpcd with --profile wrote no profile of the wallet's commands")


WALLET_PACKAGE = "D1560001320A64656D9F"
WALLET_APP = WALLET_PACKAGE + "01"
SSD = "A000000151535001"
NEW_KEY = "000102030405060708090A0B0C0D0E0F"


def wait_for_card(rig, seconds=30):
    """Until pcscd lists the card and has powered it: a command sent while
    pcscd is still bringing it up fails in pcscd, before the card."""
    deadline = time.monotonic() + seconds  # pcscd polls vpcd, slowly on a loaded machine
    while time.monotonic() < deadline:
        if "(card)" in rig.readers() and rig.run("--info").returncode == 0:
            return True
        time.sleep(0.1)
    return False


def card_manager_cases(rig, cli, corpus, problems):
    """An empty simulated card behind pcscd, as a new user meets it: --send
    loads and installs a corpus applet over SCP03 and over SCP02, the applet
    answers, --list lists it, --info reads its recognition data, --lock-app
    and --unlock-app, --create-sd and --move, --card-state locked and
    unlocked work, --put-keys adds a key set that then opens a channel; the
    simulator is stopped and started again on its card file,
    which keeps it all (the wallet's balance too); --delete takes the load
    file and its applet away."""
    wallet = os.path.join(corpus, "cap", WALLET)
    for scp in ("03", "02"):
        what = "the empty card (SCP%s)" % scp
        card_file = os.path.join(rig.work, "simulated-%s.card" % scp)
        log_path = os.path.join(rig.work, "manager-%s.log" % scp)
        log = open(log_path, "w")

        def start():
            nonlocal log
            if log.closed:
                log = open(log_path, "a")
            return subprocess.Popen([cli, "--simulate", "--vpcd", str(rig.port), "--card-scp", scp,
                                     "--card-file", card_file], stdout=log, stderr=subprocess.STDOUT)

        def restart(simulator):
            stop(simulator, signal.SIGTERM, log, what, problems)
            return start()

        def started(simulator):
            """The simulator once pcscd sees its card. Seen in some runs:
            pcscd's vpcd reader misses a card that connects just after
            another left; the card then connects again."""
            if not wait_for_card(rig, 15):
                simulator = restart(simulator)
            return simulator

        simulator = started(start())
        outputs = {}
        try:
            if not wait_for_card(rig):
                log.flush()
                with open(log.name) as seen:
                    problems.append("%s: --readers does not list it: %s; the simulator said: %s" %
                                    (what, rig.readers(), seen.read()[-1500:]))
                continue
            steps = [
                ("--send", ["--send", "--params", PIN, wallet]),
                ("--list", ["--list"]),
                ("--info", ["--info"]),
                ("--lock-app", ["--lock-app", WALLET_APP]),
                ("--unlock-app", ["--unlock-app", WALLET_APP]),
                ("--create-sd", ["--create-sd", SSD]),
                ("--move", ["--move", WALLET_APP, "--to", SSD]),
                ("--list after --move", ["--list"]),
                ("--move back", ["--move", WALLET_APP, "--to", "A000000151000000"]),
                ("--card-state locked", ["--card-state", "locked"]),
                ("--card-state unlocked", ["--card-state", "unlocked"]),
                ("--put-keys", ["--put-keys", "--new-key", NEW_KEY, "--new-key-version", "02"]),
                ("restart", None),
                ("--list after the restart", ["--list", "--key", NEW_KEY, "--key-version", "02"]),
                ("--delete", ["--delete", "--force", "--key", NEW_KEY, "--key-version", "02", WALLET_PACKAGE]),
                ("--list after --delete", ["--list", "--key", NEW_KEY, "--key-version", "02"]),
            ]
            for name, args in steps:
                if args is None:
                    simulator = started(restart(simulator))
                    if not wait_for_card(rig):
                        problems.append("%s: the card does not come back after a restart" % what)
                        break
                    balance = opensc(SELECT_WALLET, "80200000053132333435", "8050000002")
                    if "00 05" not in balance.stdout:
                        problems.append("%s: the wallet's balance is not kept across a restart: %s" %
                                        (what, balance.stdout))
                    continue
                result = rig.run(*args)
                outputs[name] = result.stdout
                if result.returncode != 0:
                    log.flush()
                    with open(log.name) as seen:
                        tail = seen.read()[-1500:]
                    problems.append("%s: %s exited %d: %s %s\nThe simulator's last lines: %s" %
                                    (what, name, result.returncode, result.stdout, result.stderr, tail))
                if name == "--send":
                    answered = opensc(SELECT_WALLET, "80200000053132333435", "803000000105", "8050000002")
                    if answered.returncode != 0 or answered.stdout.count("SW1=0x90, SW2=0x00") != 4:
                        problems.append("%s: the wallet loaded through the card manager does not answer: %s" %
                                        (what, answered.stdout))
            if SSD not in outputs.get("--list after --move", ""):
                problems.append("%s: --list after --create-sd and --move does not list the new domain: %s" %
                                (what, outputs.get("--list after --move")))
            said = "Secure channel: SCP%s i=%s" % (scp, "70" if scp == "03" else "55")
            if said not in outputs.get("--info", ""):
                problems.append("%s: --info does not say '%s': %s" % (what, said, outputs.get("--info")))
            for name in ("--list", "--list after the restart"):
                if WALLET_PACKAGE not in outputs.get(name, ""):
                    problems.append("%s: %s does not list the wallet: %s" % (what, name, outputs.get(name)))
            if WALLET_PACKAGE in outputs.get("--list after --delete", WALLET_PACKAGE):
                problems.append("%s: the wallet is still listed after --delete" % what)
        finally:
            stop(simulator, signal.SIGINT, log, what, problems)


def restart_cases(rig, cli, problems):
    """A simulator started again on its card file, twenty times: each time,
    once --readers shows its card, the first card mode sent at once works
    (pcscd may fail a new card's first command before it reaches it)."""
    card_file = os.path.join(rig.work, "restarted.card")
    deadline = time.monotonic() + 30
    while "(card)" in rig.readers() and time.monotonic() < deadline:  # the last simulator's card gone
        time.sleep(0.05)
    with open(os.path.join(rig.work, "restarts.log"), "w") as log:
        for restart in range(20):
            simulator = subprocess.Popen([cli, "--simulate", "--vpcd", str(rig.port), "--card-file", card_file],
                                         stdout=log, stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 30
            while "(card)" not in rig.readers() and time.monotonic() < deadline:
                time.sleep(0.05)
            listed = rig.run("--list", "--json")
            simulator.send_signal(signal.SIGTERM)
            simulator.wait(timeout=20)
            while "(card)" in rig.readers() and time.monotonic() < deadline:
                time.sleep(0.05)
            if listed.returncode != 0:
                problems.append("restart %d: the first --list exited %d: %s" %
                                (restart + 1, listed.returncode, listed.stderr.strip()[-400:]))


FIDO_AID = "A0000006472F0001"
U2F = "ledger-u2f-javacard__ledger-u2f.cap"


def attestation():
    """A P-256 attestation key and a self-signed certificate for it (DER)."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "tolvane test attestation")])
    start = datetime.datetime(2026, 1, 1)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(1).not_valid_before(start).not_valid_after(start + datetime.timedelta(days=3650))
                   .sign(key, hashes.SHA256()))
    return key.private_numbers().private_value.to_bytes(32, "big"), certificate.public_bytes(serialization.Encoding.DER)


def fido2_cases(rig, cli, corpus, problems):
    from fido2.ctap1 import Ctap1
    from fido2.pcsc import CtapPcscDevice
    from smartcard.System import readers

    private, certificate = attestation()
    # Its parameters: flags (01: no user presence check), the certificate's length, the private key.
    parameters = bytes([1]) + len(certificate).to_bytes(2, "big") + private
    log = open(os.path.join(rig.work, "u2f.log"), "w")
    # A card of Java Card 2's 4 channels, as the applet was written for.
    simulator = subprocess.Popen([cli, "--simulate", "--vpcd", str(rig.port), "--channels", "4", "--instance", FIDO_AID,
                                  "--params", parameters.hex(), os.path.join(corpus, "cap", U2F)],
                                 stdout=log, stderr=subprocess.STDOUT)
    try:
        # pcscd may still hold the card the last simulator served: a channel
        # opened (and closed again) shows the card is this one.
        connection = None
        for _ in range(400):  # up to 40 s: slow under the sanitizers on a busy machine
            try:
                reader = [r for r in readers() if READER in str(r)][0]
                connection = reader.createConnection()
                connection.connect()
                data, sw1, sw2 = connection.transmit(list(bytes.fromhex("0070000001")))
                if (data, sw1, sw2) == ([1], 0x90, 0x00):
                    connection.transmit(list(bytes.fromhex("00708001")))
                    break
            except Exception:  # not there yet
                pass
            time.sleep(0.1)
        else:
            problems.append("the U2F card never answered through pcscd: %s" % rig.readers())
            return
        # F0, the applet's own class byte, names channel 0 on this card: the
        # certificate goes to the applet selected there, in one extended command.
        personalisation = [("00A40400 08" + FIDO_AID, "9000"),
                           ("F0010000 00" + len(certificate).to_bytes(2, "big").hex() + certificate.hex(), "9000"),
                           ("00A40400 08" + FIDO_AID, "5532465F56329000")]
        for command, wanted in personalisation:
            data, sw1, sw2 = connection.transmit(list(bytes.fromhex(command.replace(" ", ""))))
            got = bytes(data + [sw1, sw2]).hex().upper()
            if got != wanted:
                problems.append("U2F personalisation: %s... answered %s" % (command[:20], got))
                return
        connection.disconnect()

        # list_devices passes over a reader whose card is busy for a moment
        # (after the disconnect above): asked again until it lists ours.
        device = None
        for _ in range(50):
            device = next((d for d in CtapPcscDevice.list_devices() if READER in repr(d)), None)
            if device:
                break
            time.sleep(0.1)
        if device is None:
            problems.append("python-fido2 lists no FIDO device on %s" % READER)
            return
        device.use_ext_apdu = True
        ctap1 = Ctap1(device)
        challenge, application = os.urandom(32), os.urandom(32)
        registration = ctap1.register(challenge, application)
        registration.verify(application, challenge)  # the attestation signature, by the certificate's key
        if registration.certificate != certificate:
            problems.append("the registration carries another certificate")
        signed = ctap1.authenticate(challenge, application, registration.key_handle)
        signed.verify(application, challenge, registration.public_key)
    except Exception as error:  # what python-fido2 or pyscard raise, with its message
        problems.append("python-fido2 with the U2F applet in extended mode: %r" % error)
    finally:
        stop(simulator, signal.SIGTERM, log, "the U2F simulator", problems)


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
    card_file_cases(cli, problems)
    with tempfile.TemporaryDirectory() as work:
        rig = Rig(cli, corpus, work, validator)
        rig.start_pcscd()
        try:
            vpcd_cases(rig, cli, corpus, problems)
            card_manager_cases(rig, cli, corpus, problems)
            restart_cases(rig, cli, problems)
            fido2_cases(rig, cli, corpus, problems)
        finally:
            rig.pcscd.send_signal(signal.SIGTERM)
            rig.pcscd.wait()
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
