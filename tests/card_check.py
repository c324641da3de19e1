#!/usr/bin/env python3
"""Loads, installs, lists and deletes through the PC/SC service and the vpcd
virtual reader, against the virtual card of virtual_card.py: both secure
channels at both security levels, diversification, key versions, wrong keys
(the card must see no EXTERNAL AUTHENTICATE), the pre-flight, refusals in the
middle of a load, and a refused CAP file that sends nothing.

pcscd's socket path is fixed, so the check runs in a mount namespace of its
own (as root), with a tmpfs over /run: the machine's pcscd, if any, is never
touched. Each case starts its own card and stops it.

With --app, the window's Card tab is then driven by APP_CARD_TESTS (Qt Test)
on an X server with openbox, beside a card of its own, and screenshots of the
tab go to TOLVANE_SCREENSHOT_DIR where that is set.

Every --json output is validated against the card modes' schema.

Usage: card_check.py TOLVANE_CLI --schema CARD_SCHEMA [--app APP_CARD_TESTS WITH_X_SERVER] CORPUS_DIR
Exit 77 (skipped) where no namespace can be made, unless CI=true.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
CARD = os.path.join(HERE, "virtual_card.py")
VPCD = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
READER = "Virtual PCD 00 00"
SECOND_READER = "Virtual PCD 00 01"  # vpcd's second slot, on the next port
# A corpus applet whose imports (javacard.framework 1.0) the card has.
APPLET = "JCAlgTest__wallet.cap"
PACKAGE = "A00000006203010C06"
APPLET_AID = "A00000006203010C0601"
# One that needs a newer javacard.framework than the card lists.
NEWER = "javacard-express__oracle-TestApplet-jc310.cap"
KEY = "404142434445464748494A4B4C4D4E4F"
AES256 = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
# Three different AES-192 keys, for a key file of enc=, mac= and dek= lines.
AES192 = ["%02X" % b * 24 for b in (0x11, 0x22, 0x33)]


class Rig:
    def __init__(self, cli, corpus, work, validator):
        self.cli, self.corpus, self.work = cli, corpus, work
        self.validator, self.invalid = validator, []
        self.port = 35963 + os.getpid() % 2000
        self.card = None
        self.log = os.path.join(work, "card.log")
        self.store = os.path.join(work, "store")
        os.makedirs(self.store, exist_ok=True)

    def start_pcscd(self):
        conf = os.path.join(self.work, "reader.conf.d")
        os.makedirs(conf, exist_ok=True)
        with open(os.path.join(conf, "vpcd"), "w") as out:
            out.write('FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n'
                      % (self.port, VPCD, self.port))
        self.pcscd = subprocess.Popen(["pcscd", "-f", "-c", conf], stdout=subprocess.DEVNULL,
                                      stderr=open(os.path.join(self.work, "pcscd.log"), "w"))
        for _ in range(100):
            if os.path.exists("/run/pcscd/pcscd.comm"):
                return
            time.sleep(0.05)
        raise RuntimeError("pcscd did not start")

    def readers(self):
        return self.run("--readers").stdout

    def start_card(self, *args, slot=0):
        open(self.log, "w").close()
        for name in os.listdir(self.store):
            os.remove(os.path.join(self.store, name))
        self.card = subprocess.Popen(["/usr/bin/python3", CARD, "--port", str(self.port + slot), "--log", self.log,
                                      "--store", self.store] + list(args))
        for _ in range(200):
            if "(card)" in self.readers():
                return
            time.sleep(0.05)
        raise RuntimeError("the virtual card did not come up")

    def stop_card(self):
        if self.card:
            self.card.kill()
            self.card.wait()
            self.card = None
            for _ in range(200):
                if "(card)" not in self.readers():
                    return
                time.sleep(0.05)

    def run(self, *args):
        result = subprocess.run([self.cli] + list(args), capture_output=True, text=True, timeout=120, cwd=self.work)
        # One object a run, failed or not (--readers says nothing of a failure).
        if "--json" in args and (result.returncode == 0 or "--readers" not in args):
            try:
                self.validator.validate(json.loads(result.stdout))
                if result.returncode != 0 and json.loads(result.stdout).get("ok") is not False:
                    self.invalid.append("%s: a failure without \"ok\": false" % " ".join(args))
            except (ValueError, jsonschema.ValidationError) as error:
                self.invalid.append("%s: %s" % (" ".join(args), str(error).splitlines()[0]))
        return result

    def authentications(self):
        """The security level (P1) of each EXTERNAL AUTHENTICATE the card received."""
        return [c["apdu"][4:6] for c in self.seen() if c["name"] == "EXTERNAL AUTHENTICATE"]

    def seen(self):
        """What the card received: (name, status word) of each command."""
        with open(self.log) as log:
            return [json.loads(line) for line in log if line.strip()]

    def cap(self, name):
        return os.path.join(self.corpus, "cap", name)


def expect(problems, case, condition, text, result=None):
    if not condition:
        detail = ""
        if result is not None:
            detail = " (exit %d, stderr %r)" % (result.returncode, result.stderr[-600:])
        problems.append("%s: %s%s" % (case, text, detail))


def load_file_of(rig, cap):
    return subprocess.run([rig.cli, "--load-file", "-q", "-o", "-", cap], capture_output=True, timeout=60).stdout


def check_load_cycle(rig, problems, case, card_args, cli_keys, level="mac", slot=0):
    """Send, list, delete without and with --force, on a card started with `card_args` in reader `slot`,
    at the security `level` that `cli_keys` ask for."""
    rig.start_card(*card_args, slot=slot)
    reader = (READER, SECOND_READER)[slot]
    try:
        cap = rig.cap(APPLET)
        sent = rig.run("--send", "--json", *cli_keys, cap)
        expect(problems, case, sent.returncode == 0, "--send fails", sent)
        if sent.returncode == 0:
            report = json.loads(sent.stdout)
            expect(problems, case, report["secure_channel"]["security"] == level and report["reader"] == reader,
                   "--json says another security level or reader: %r" % report["secure_channel"])
        expect(problems, case, rig.authentications() == [{"mac": "01", "enc": "03"}[level]],
               "the card was authenticated at %r, not %s" % (rig.authentications(), level))
        stored = os.path.join(rig.store, PACKAGE + ".ijc")
        expect(problems, case, os.path.exists(stored) and open(stored, "rb").read() == load_file_of(rig, cap),
               "the card does not hold the load file byte for byte")
        listed = rig.run("--list", "--json", *cli_keys)
        expect(problems, case, listed.returncode == 0, "--list fails", listed)
        if listed.returncode == 0:
            report = json.loads(listed.stdout)
            expect(problems, case, report["reader"] == reader and report["isd"]["aid"] == "A000000151000000",
                   "--list names another reader or security domain")
            expect(problems, case, any(a["aid"] == APPLET_AID and a["state"] == "SELECTABLE"
                                       for a in report["applications"]), "--list shows no applet")
            # The older form of GET STATUS gives no versions.
            version = None if "--old-status-only" in card_args else "1.0"
            expect(problems, case, any(f["aid"] == PACKAGE and f["version"] == version and APPLET_AID in f["modules"]
                                       for f in report["load_files"]), "--list shows no package")
        kept = rig.run("--delete", *cli_keys, PACKAGE)
        expect(problems, case, kept.returncode == 1 and "--force" in kept.stderr and APPLET_AID in kept.stderr,
               "DELETE of a package with an instance is not refused naming it and --force", kept)
        gone = rig.run("--delete", "--force", *cli_keys, PACKAGE)
        expect(problems, case, gone.returncode == 0, "--delete --force fails", gone)
        after = rig.run("--list", "--json", *cli_keys)
        expect(problems, case, after.returncode == 0 and PACKAGE not in after.stdout,
               "the package is still listed after --delete --force", after)
        expect(problems, case, all(c["sw"] != "6300" for c in rig.seen()), "the card saw a failed authentication")
    finally:
        rig.stop_card()


def cases(rig, problems):
    # Both channels, both levels, diversification, key versions.
    check_load_cycle(rig, problems, "SCP03 i=70, C-MAC, KDF3", ["--scp", "03", "--i", "70", "--diversify", "kdf3"],
                     ["--kdf", "kdf3"])
    check_load_cycle(rig, problems, "SCP03 i=00, AES-256, encrypted",
                     ["--scp", "03", "--i", "00", "--key", AES256],
                     ["--key", AES256, "--security", "enc", "--scp", "03"], level="enc")
    check_load_cycle(rig, problems, "SCP02 i=55, C-MAC, key version 20, the card in the second reader",
                     ["--scp", "02", "--i", "55", "--key-version", "20"], ["--key-version", "20", "--scp", "02"],
                     slot=1)
    check_load_cycle(rig, problems, "SCP02 i=15, encrypted, EMV",
                     ["--scp", "02", "--i", "15", "--diversify", "emv"], ["--kdf", "emv", "--security", "enc"],
                     level="enc")
    check_load_cycle(rig, problems, "SCP03 i=10, AES-192, encrypted, keys from a file of enc=, mac=, dek= lines",
                     ["--scp", "03", "--i", "10", "--key", ",".join(AES192)],
                     ["--security", "enc", "--key-file", os.path.join(rig.work, "keys")], level="enc")
    check_load_cycle(rig, problems, "older GET STATUS, in parts, small commands",
                     ["--old-status-only", "--status-part", "30", "--max-data", "100"], [])

    case = "VISA2 from the command line, --trace"
    rig.start_card("--scp", "02", "--diversify", "visa2", "--key", AES256[:32])
    try:
        listed = rig.run("--list", "--trace", "--kdf", "visa2", "--key", AES256[:32])
        expect(problems, case, listed.returncode == 0, "--list with --kdf visa2 fails", listed)
        shown = [line for line in listed.stderr.splitlines() if line.startswith("> ")]
        expect(problems, case, [line.split(":")[0][2:] for line in shown] == [c["name"] for c in rig.seen()],
               "--trace does not show every command the card received: %r" % shown)
        expect(problems, case, AES256[:32] not in listed.stderr + listed.stdout, "--trace shows the key")
    finally:
        rig.stop_card()

    case = "--info"
    rig.start_card("--scp", "03", "--i", "10", "--key", AES256)
    try:
        text = rig.run("--info")
        for line in ["GlobalPlatform: 2.3.1", "Secure channel: SCP03 i=10", "CPLC IC fabricator: 4790",
                     "CPLC IC type: 5040", "Key 1 version 30: type 88 of 32 bytes",
                     "Key 3 version 30: type 88 of 32 bytes"]:
            expect(problems, case, line in text.stdout.splitlines(), "--info does not say %r" % line, text)
        info = rig.run("--info", "--json")
        expect(problems, case, info.returncode == 0, "--info --json fails", info)
        if info.returncode == 0:
            report = json.loads(info.stdout)
            expect(problems, case, report["global_platform"] == "2.3.1" and report["cplc"]["IC type"] == "5040" and
                   [(k["id"], k["version"], k["components"]) for k in report["keys"]] ==
                   [(k, 0x30, [{"type": "88", "length": 32}]) for k in (1, 2, 3)],
                   "--info --json does not give the card's data: %r" % report)
    finally:
        rig.stop_card()

    # A card's odd answers: each command is sent once, and endless answers end.
    for case, card_args, command, seen, said in [
            ("6C to EXTERNAL AUTHENTICATE", ["--answer", "82:6C10"], ["--list"], "EXTERNAL AUTHENTICATE",
             "nothing was sent again"),
            ("6C to LOAD", ["--answer", "E8:6C00"], ["--send", rig.cap(APPLET)], "LOAD", "nothing was sent again"),
            ("63 10 without end", ["--answer", "F2:6310"], ["--list"], None, "GET STATUS does not end"),
            ("61 without end", ["--answer", "F2:6101", "--answer", "C0:6101"], ["--list"], None,
             "GET STATUS does not end")]:
        rig.start_card(*card_args)
        try:
            began = time.monotonic()
            result = rig.run(*command)
            expect(problems, case, result.returncode == 1 and said in result.stderr, "not refused as it should be",
                   result)
            expect(problems, case, time.monotonic() - began < 30, "took %d s" % (time.monotonic() - began))
            if seen:
                names = [c["name"] for c in rig.seen()]
                expect(problems, case, names.count(seen) == 1, "the card received %d %s" % (names.count(seen), seen))
        finally:
            rig.stop_card()

    case = "another program holds the card"
    rig.start_card()
    try:
        # scriptor holds the card from its start until its input ends.
        holder = subprocess.Popen(["scriptor", "-r", READER], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        held = rig.run("--list")
        expect(problems, case, held.returncode == 1 and "another program is using the card" in held.stderr and
               held.stderr.count("waiting") == 1, "a held card is not waited for, then said to be in use", held)
        threading.Timer(1.5, holder.stdin.close).start()
        waited = rig.run("--list")
        holder.wait()
        expect(problems, case, waited.returncode == 0 and waited.stderr.count("waiting") == 1,
               "a card let go of within the wait is not used", waited)
        piped = subprocess.run("'%s' --list --trace 2>&1 | head -3 >/dev/null; '%s' --list" % (rig.cli, rig.cli),
                               shell=True, capture_output=True, text=True, timeout=60, cwd=rig.work)
        expect(problems, case, piped.returncode == 0, "a listing right after another fails", piped)
    finally:
        rig.stop_card()

    case = "wrong keys, wrong key version"
    rig.start_card("--scp", "03")
    try:
        wrong = rig.run("--send", "--key", "404142434445464748494A4B4C4D4E40", rig.cap(APPLET))
        expect(problems, case, wrong.returncode == 1 and "retry counter was not touched" in wrong.stderr,
               "wrong keys are not said to be wrong", wrong)
        version = rig.run("--list", "--key-version", "32")
        expect(problems, case, version.returncode == 1 and "key version" in version.stderr,
               "a key version the card lacks is not named", version)
        names = [c["name"] for c in rig.seen()]
        expect(problems, case, "EXTERNAL AUTHENTICATE" not in names and "INSTALL" not in names,
               "the card saw %s" % names)
        expect(problems, case, KEY not in wrong.stderr + wrong.stdout, "a key appears in the output")
    finally:
        rig.stop_card()

    case = "a refused CAP file, the pre-flight, a refusal mid-LOAD, --replace, --instance"
    rig.start_card("--fail-load-block", "1")
    try:
        bad = os.path.join(rig.work, "bad.cap")
        with open(bad, "wb") as out:
            out.write(b"PK\x03\x04 not an archive")
        refused = rig.run("--send", bad)
        expect(problems, case, refused.returncode == 1 and rig.seen() == [],
               "a refused CAP file reached the card", refused)
        newer = rig.run("--send", rig.cap(NEWER))
        names = [c["name"] for c in rig.seen()]
        expect(problems, case, newer.returncode == 1 and "needed; the card has" in newer.stderr and
               "LOAD" not in names and "INSTALL" not in names, "the pre-flight let the load begin", newer)
        middle = rig.run("--send", rig.cap(APPLET))
        expect(problems, case, middle.returncode == 1 and "LOAD block 2 of" in middle.stderr and
               "6A 84" in middle.stderr, "a refusal mid-LOAD does not name its block", middle)
    finally:
        rig.stop_card()
    rig.start_card()
    try:
        # --replace on a card without the package: its DELETE finds nothing, and the load goes on.
        first = rig.run("--send", "--replace", "--instance", "A00000006203010C0699", rig.cap(APPLET))
        again = rig.run("--send", rig.cap(APPLET))
        replaced = rig.run("--send", "--replace", "--json", rig.cap(APPLET))
        expect(problems, case, first.returncode == 0, "--replace of nothing, or --instance, fails", first)
        expect(problems, case, again.returncode == 1 and "--replace" in again.stderr,
               "a package already there gives no hint of --replace", again)
        expect(problems, case, replaced.returncode == 0, "--replace fails", replaced)
        if replaced.returncode == 0:
            report = json.loads(replaced.stdout)
            kinds = [c["kind"] for c in report["commands"]]
            expect(problems, case, report["secure_channel"]["protocol"] == "SCP03" and kinds[0] == "SELECT" and
                   "DELETE" in kinds and kinds[-1].startswith("INSTALL [for install"),
                   "--json does not report the session: %r" % report)
    finally:
        rig.stop_card()


def key_cases(rig, problems):
    """--put-keys: replaced and added, under both channels and every AES length, diversified, random and saved;
    the card's check values compared and the new keys proven; what must be refused is, before PUT KEY."""
    saved = os.path.join(rig.work, "saved-keys")
    new_file = os.path.join(rig.work, "new-keys")
    with open(new_file, "w") as out:
        out.write("enc=%s\nmac=%s\ndek=%s\n" % tuple(AES192))
    other = "00112233445566778899AABBCCDDEEFF"
    # (case, card, options, exit, what the output says, the options that open the card afterwards, and those that
    # no longer do)
    for case, card_args, options, status, said, reopen, old in [
            ("SCP03: the session's key set replaced", [], ["--new-key", other], 0,
             ["replacing key set 30", "verified: a secure channel opened with key set 30"], ["--key", other], []),
            ("SCP03 AES-256: a key set added", ["--key", AES256],
             ["--key", AES256, "--new-key", AES256[::-1], "--new-key-version", "31"], 0,
             ["adding key set 31", "(AES-256)"], ["--key", AES256[::-1], "--key-version", "31"], None),
            ("SCP03 AES-192 from a key file, replacing by version", [],
             ["--new-key-file", new_file, "--new-key-version", "30"], 0, ["replacing key set 30", "(AES-192)"],
             ["--key-file", os.path.join(rig.work, "keys")], []),
            ("SCP02: random keys, saved first, diversified with EMV", ["--scp", "02", "--key-version", "20"],
             ["--new-key", "random", "--save-keys", saved, "--new-kdf", "emv", "--new-key-version", "21"], 0,
             ["adding key set 21", "(DES)", "verified"], ["--key-file", saved, "--kdf", "emv", "--key-version", "21"],
             None),
            ("SCP03 with KDF3, the default key put back", ["--diversify", "kdf3", "--key", other],
             ["--kdf", "kdf3", "--key", other, "--new-key", "default", "--new-kdf", "kdf3"], 0, ["verified"],
             ["--kdf", "kdf3"], ["--kdf", "kdf3", "--key", other]),
            ("a card that answers other check values", ["--wrong-check-values"], ["--new-key", other], 1,
             ["does not agree with the keys sent", "are those given on the command line"], None, None),
            ("a card that answers well and keeps its old keys", ["--keep-old-keys"],
             ["--new-key", other, "--save-keys", saved], 1,
             ["did not open a secure channel", "holds key set 30 (AES-128, check values", "saved in " + saved],
             [], None),
            ("a card that refuses PUT KEY, the keys saved first", ["--answer", "D8:6A80"],
             ["--new-key", "random", "--save-keys", saved], 1, ["PUT KEY", "saved in " + saved], [], None),
            ("SCP02 takes no 32-byte key", ["--scp", "02"], ["--new-key", AES256], 2,
             ["takes DES keys of 16 bytes", "nothing was put"], None, None),
            ("an add of a version the card holds is a replace", [], ["--new-key", other, "--new-key-version", "30"], 0,
             ["replacing key set 30"], ["--key", other], [])]:
        if os.path.exists(saved):
            os.remove(saved)
        rig.start_card(*card_args)
        try:
            result = rig.run("--put-keys", "--trace", *options)
            shown = result.stdout + result.stderr
            expect(problems, case, result.returncode == status and all(s in shown for s in said),
                   "exit %d, or does not say %r: %s" % (result.returncode, said, result.stdout), result)
            keys = [other, AES256, AES256[::-1]] + AES192
            # Keys to be saved are saved before the card is asked, so that a refusal loses none.
            expect(problems, case, os.path.exists(saved) == ("--save-keys" in options and status != 2),
                   "the keys were saved or not, where they should not or should be")
            if os.path.exists(saved):
                keys += [line.split("=")[1] for line in open(saved).read().splitlines() if "=" in line]
                expect(problems, case, os.stat(saved).st_mode & 0o777 == 0o600, "the saved keys are not 0600")
            expect(problems, case, not any(key in shown for key in keys), "a key appears in the output")
            expect(problems, case, all(c["sw"] != "6300" for c in rig.seen()), "a try of the card's keys was spent")
            if "nothing was put" in said[-1]:
                expect(problems, case, "PUT KEY" not in [c["name"] for c in rig.seen()], "PUT KEY was sent")
            if reopen is not None:
                again = rig.run("--list", *reopen)
                expect(problems, case, again.returncode == 0, "the new keys do not open the card", again)
            if old is not None:
                before = [c["name"] for c in rig.seen()].count("EXTERNAL AUTHENTICATE")
                refused = rig.run("--list", *old)
                expect(problems, case, refused.returncode == 1 and "cryptogram does not match" in refused.stderr and
                       [c["name"] for c in rig.seen()].count("EXTERNAL AUTHENTICATE") == before,
                       "the old keys are not refused before EXTERNAL AUTHENTICATE", refused)
        finally:
            rig.stop_card()

    case = "--put-keys --json, and --save-keys over a file"
    rig.start_card()
    try:
        result = rig.run("--put-keys", "--json", "--new-key", "default", "--new-key-version", "32")
        expect(problems, case, result.returncode == 0, "--put-keys --json fails", result)
        if result.returncode == 0:
            expect(problems, case, json.loads(result.stdout)["put_keys"] ==
                   {"replaced": None, "version": "32", "type": "AES-128", "check_values": ["504A77"] * 3,
                    "verified": True}, "put_keys says %s" % result.stdout)
        # The card now holds 30 and 32: a session of 30 replaces 32, as the card's key information says.
        again = rig.run("--put-keys", "--new-key", AES256, "--new-key-version", "32")
        expect(problems, case, again.returncode == 0 and "replacing key set 32" in again.stdout,
               "a key set the card lists besides the session's is not replaced", again)
        open(saved, "w").write("kept")
        open(rig.log, "w").close()
        over = rig.run("--put-keys", "--new-key", "random", "--save-keys", saved)
        expect(problems, case, over.returncode == 2 and "exists" in over.stderr and rig.seen() == [] and
               open(saved).read() == "kept", "--save-keys over a file is not refused before the card", over)
    finally:
        rig.stop_card()


def management_cases(rig, problems):
    """Life cycles, install without load, security domains, extradition and personalisation."""
    sd = "A000000151000099"
    instance = "A00000006203010C0699"
    rig.start_card("--bare-domains")
    try:
        def listing(*options):
            result = rig.run("--list", "--json", *options)
            return json.loads(result.stdout) if result.returncode == 0 else {"applications": [], "load_files": []}

        def app(aid, *options):
            return next((a for a in listing(*options)["applications"] if a["aid"] == aid), None)

        rig.run("--send", rig.cap(APPLET))
        # (case, command, exit, what it says, what the card then shows)
        for case, command, status, said, shows in [
                ("--lock-app", ["--lock-app", APPLET_AID], 0, "Locked",
                 lambda: app(APPLET_AID)["state"] == "LOCKED"),
                ("--unlock-app", ["--unlock-app", APPLET_AID], 0, "Unlocked",
                 lambda: app(APPLET_AID)["state"] == "SELECTABLE"),
                ("--make-default", ["--make-default", APPLET_AID], 0, "default",
                 lambda: "CardReset" in app(APPLET_AID)["privileges"]),
                ("--install of a module the card holds", ["--install", PACKAGE, APPLET_AID, "--instance", instance,
                                                          "--privileges", "02"], 0, "Installed " + instance,
                 lambda: app(instance)["privileges"] == ["CVMManagement"]),
                ("--install of a module the load file lacks", ["--install", PACKAGE, instance], 1, "has no module",
                 lambda: "INSTALL" not in [c["name"] for c in rig.seen()[-8:]]),
                ("--create-sd", ["--create-sd", sd, "--privileges", "A0"], 0, "Made security domain",
                 lambda: app(sd)["privileges"] == ["SecurityDomain", "DelegatedManagement"]),
                ("--info of the new domain", ["--info", "--sd", sd], 0, "Key sets: none", lambda: True),
                # The session borrows the issuer's key set 30; the domain lists none, so 30 is added.
                ("--put-keys into the new domain", ["--put-keys", "--sd", sd, "--new-key", AES256], 0,
                 "adding key set 30",
                 lambda: app(APPLET_AID, "--sd", sd, "--key", AES256, "--key-version", "30") is not None),
                ("--delete --json of what the card lacks", ["--delete", "--json", "A0000000FF0001"], 1,
                 '"command":"DELETE","sw":"6A88"', lambda: True),
                ("--move to the new domain", ["--move", instance, "--to", sd], 0, "Moved",
                 lambda: app(instance)["sd"] == sd and app(APPLET_AID)["sd"] == "A000000151000000"),
                ("--store-data", ["--store-data", APPLET_AID, "0102", "030405"], 0, "2 STORE DATA",
                 lambda: open(os.path.join(rig.store, APPLET_AID + ".data"), "rb").read() == bytes(range(1, 6)) and
                 app(APPLET_AID)["state"] == "PERSONALIZED"),
                ("--store-data of a block too long for the channel", ["--store-data", APPLET_AID, "00" * 250], 2,
                 "nothing was sent", lambda: "STORE DATA" not in [c["name"] for c in rig.seen()[-4:]]),
                ("--card-state terminated without --force", ["--card-state", "terminated"], 2, "cannot be undone",
                 lambda: listing()["isd"]["state"] == "SECURED"),
                ("--card-state locked", ["--card-state", "locked"], 0, "now locked",
                 lambda: listing()["isd"]["state"] == "CARD_LOCKED"),
                ("a locked card is listed and unlocked", ["--card-state", "unlocked"], 0, "the card is locked",
                 lambda: listing()["isd"]["state"] == "SECURED")]:
            result = rig.run(*command)
            expect(problems, case, result.returncode == status and said in result.stdout + result.stderr,
                   "exit %d, or does not say %r" % (result.returncode, said), result)
            try:
                shown = shows()
            except (KeyError, TypeError, ValueError) as error:  # a listing without what is looked for
                shown, error_text = False, "%s: %s" % (type(error).__name__, error)
            else:
                error_text = ""
            expect(problems, case, shown, "the card does not show it %s: %r" % (error_text, listing()))
    finally:
        rig.stop_card()
    rig.start_card("--card-state", "01", "--scp", "02", "--i", "15")
    try:
        case = "--create-sd under SCP02 i=15"
        made = rig.run("--create-sd", sd)
        expect(problems, case, made.returncode == 0, "the security domain is not made with the card's i", made)
        # A card from OP_READY to its end, each step one that cannot be undone.
        for state, shown in [("initialized", "INITIALIZED"), ("secured", "SECURED"), ("terminated", None)]:
            case = "--card-state %s --force" % state
            result = rig.run("--card-state", state, "--force")
            listed = rig.run("--list", "--json")
            try:
                reached = (json.loads(listed.stdout)["isd"]["state"] == shown) if shown else listed.returncode == 1
            except (KeyError, TypeError, ValueError):
                reached = False
            expect(problems, case, result.returncode == 0 and reached,
                   "the card was not brought to %s: %r" % (state, listed.stdout), result)
    finally:
        rig.stop_card()


def window(rig, problems, app, with_x_server):
    """The Card tab, beside a card that answers GET STATUS with 63 10 forever, then as a person uses it,
    beside a card whose LOAD blocks take a while."""
    rig.start_card("--answer", "F2:6310")
    env = dict(os.environ, TOLVANE_CARD_LOG=rig.log, TOLVANE_CARD_STORE=rig.store, TOLVANE_CARD_ODD="1",
               TOLVANE_CARD_PID=str(rig.card.pid), TOLVANE_CORPUS_DIR=rig.corpus, TOLVANE_TEST_WM="openbox")
    try:
        run = subprocess.run([with_x_server, "--wm", app, "anEndlessListingLeavesTheTabUsable"], env=env,
                             capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            problems.append("the Card tab beside an odd card: %s%s" % (run.stdout[-3000:], run.stderr[-2000:]))
    finally:
        rig.stop_card()
    rig.start_card("--load-delay", "0.15")
    env = dict(os.environ, TOLVANE_CARD_LOG=rig.log, TOLVANE_CARD_STORE=rig.store,
               TOLVANE_CARD_PID=str(rig.card.pid), TOLVANE_CORPUS_DIR=rig.corpus, TOLVANE_TEST_WM="openbox")
    try:
        run = subprocess.run([with_x_server, "--wm", app], env=env, capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            problems.append("the Card tab: %s%s" % (run.stdout[-3000:], run.stderr[-2000:]))
    finally:
        rig.stop_card()


def reenter_in_namespace(script, required):
    """Runs `script` again, with the same arguments, in a mount namespace of its
    own, and gives its exit status; None when this is that run already."""
    if os.environ.get("TOLVANE_CARD_NAMESPACE") == "1":
        return None
    if os.geteuid() != 0 or subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        print("no mount namespace can be made here (root is needed)")
        return 1 if required else 77
    env = dict(os.environ, TOLVANE_CARD_NAMESPACE="1")
    return subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, script] + sys.argv[1:],
                          env=env).returncode


def report(problems):
    """Each problem on a line of its own, then their count; the exit status."""
    for problem in problems:
        print(problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


def private_run():
    """In the namespace: a tmpfs over /run, so that pcscd's socket is ours alone."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    os.makedirs("/run/pcscd")


def main():
    arguments = sys.argv[1:]
    app = None
    if "--app" in arguments:
        at = arguments.index("--app")
        app = [os.path.abspath(arguments[at + 1]), os.path.abspath(arguments[at + 2])]
        del arguments[at:at + 3]
    at = arguments.index("--schema")
    with open(arguments[at + 1]) as schema:
        validator = jsonschema.Draft202012Validator(json.load(schema))
    del arguments[at:at + 2]
    cli, corpus = os.path.abspath(arguments[0]), os.path.abspath(arguments[1])
    required = os.environ.get("CI") == "true"
    status = reenter_in_namespace(__file__, required)
    if status is not None:
        return status
    if not os.path.exists(os.path.join(corpus, "cap", APPLET)):
        print("no corpus at %s" % corpus)
        return 1 if required else 77
    private_run()
    problems = []
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "keys"), "w") as out:
            out.write("# the card's keys, one a line\nenc = %s\nmac=%s\n\ndek =%s\n" % tuple(AES192))
        rig = Rig(cli, corpus, work, validator)
        rig.start_pcscd()
        try:
            cases(rig, problems)
            key_cases(rig, problems)
            management_cases(rig, problems)
            if app:
                window(rig, problems, *app)
        finally:
            rig.stop_card()
            rig.pcscd.send_signal(signal.SIGTERM)
            rig.pcscd.wait()
    problems += ["invalid JSON of " + invalid for invalid in rig.invalid]
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
