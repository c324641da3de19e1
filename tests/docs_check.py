#!/usr/bin/env python3
"""Every example command line of README.md, docs/*.md and --help, run as a
user would run it, so that a documented form never breaks unseen: the
examples' files are made (or taken from the corpus) in a folder of their own,
the card modes run in order against a simulated card served through pcscd and
the vpcd reader, and each --simulate --vpcd example must bring its card to
--readers. An example may be refused by the card where its text says so, but
none may be a usage error or a crash.

pcscd's socket path is fixed, so this runs in a mount namespace of its own
(as root), as card_check does.

Usage: docs_check.py TOLVANE_CLI CORPUS_DIR
Exit 77 (skipped) where no namespace can be made, unless CI=true.
"""
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from card_check import Rig, private_run, reenter_in_namespace, report  # noqa: E402  (the same set-up)

# The files the examples name, from the corpus; the README's wallet
# (A00000006203010C06, instance ...0601) is the corpus wallet, by its AIDs.
CORPUS_FILES = {
    "wallet.cap": "javacard-simulator__wallet.cap",
    "helloWorld.cap": "Algorithm__helloWorld.cap",
    "readwritets1.cap": "eHealthCard__readwritets1.cap",
    "library.cap": "openjavacard-tools__openjavacard-lib-ber.cap",
    "applet.cap": "javacard-simulator__wallet.cap",
}
AIDS = [("A00000006203010C0601", "D1560001320A64656D9F01"), ("A00000006203010C0699", "D1560001320A64656D9F99"),
        ("A00000006203010C06", "D1560001320A64656D9F")]
SCRIPTS = ("wallet.apdu", "commands.txt", "wallet.script")
# What the text beside an example says undoes it, run after it so that the
# next examples find the card as they expect; and files an example makes
# that a later one reads.
UNDONE_BY = {"--card-state locked": ["--card-state", "unlocked"],
             "--lock-app A00000006203010C0601": ["--unlock-app", "D1560001320A64656D9F01"]}
MAKES = {"--save-keys card.keys": ("card.keys", "sd.keys")}
CARD_MODES = ("--readers", "--info", "--list", "--send", "--delete", "--put-keys", "--lock-app", "--card-state",
              "--make-default", "--install", "--create-sd", "--move", "--store-data")
DOCUMENTED_PORT = "35963"


def examples():
    """Each documented command line, in the order of its document: the lines
    of indented blocks that run tolvane-cli (after a prompt or a pipe), their
    comments dropped, the synopsis left out; and the options that take a
    value, as --help gives them."""
    found = []
    help_text = subprocess.run([CLI, "--help"], capture_output=True, text=True).stdout
    sources = [(path, open(path).read()) for path in [os.path.join(SOURCE, "README.md")] +
               sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md")))]
    sources.append(("--help", "\n".join("    " + line.replace("Usage: ", "") for line in help_text.splitlines())))
    for where, text in sources:
        for line in text.splitlines():
            block = re.match(r"^ {4,}(?:\$ )?(.*)$", line)
            if not block or "tolvane-cli " not in block.group(1):
                continue
            command = block.group(1)
            command = command[command.index("tolvane-cli "):]
            if command.startswith("tolvane-cli:") or "[OPTION]" in command:
                continue
            found.append((where, re.split(r"\s+#\s", command)[0].split(" | ")[0].strip()))
    valued = {m.group(1) for m in re.finditer(r"^\s+(?:-\w, )?(--[\w-]+) \S", help_text, re.M)}
    return found, valued


def joined(args, valued):
    """The same arguments with each option's value after = (--vpcd=PORT)."""
    out = []
    for word in args:
        if out and out[-1] in valued and not word.startswith("-") and "=" not in out[-1]:
            out[-1] += "=" + word
        else:
            out.append(word)
    return out


def prepare(work, corpus):
    for name, source in CORPUS_FILES.items():
        os.symlink(os.path.join(corpus, "cap", source), os.path.join(work, name))
    for name in SCRIPTS:
        with open(os.path.join(work, name), "w") as out:
            out.write("00A4040000\n")
    jc_home = os.path.join(work, "jc_home")
    os.makedirs(os.path.join(jc_home, "api_export_files"))
    return dict(os.environ, JC_HOME=jc_home)


class Served:
    """The one simulator pcscd's vpcd reader serves at a time."""

    def __init__(self, rig):
        self.rig, self.process = rig, None

    def wait_for(self, present):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if ("(card)" in self.rig.readers()) == present:
                return True
            time.sleep(0.1)
        return False

    def start(self, args):
        """False, with what the simulator said, where its card never reaches --readers."""
        self.stop()
        self.process = subprocess.Popen([CLI] + args, cwd=self.rig.work, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, text=True)
        if self.wait_for(True):
            return True
        self.process.kill()
        said = self.process.communicate()[1]
        self.process = None
        return said

    def stop(self):
        if self.process:
            self.process.send_signal(signal.SIGINT)
            self.process.communicate(timeout=30)
            self.process = None
            self.wait_for(False)


def run_one(rig, env, command, args, served):
    """What is wrong with one run of an example, if anything."""
    stdin = None
    if "<" in args:
        at = args.index("<")
        stdin = open(os.path.join(rig.work, args[at + 1]))
        del args[at:at + 2]
    if "--vpcd" in " ".join(args):
        started = served.start(args)
        return None if started is True else "the card never reached --readers: " + started
    for example, (made, _) in MAKES.items():
        if example in command and os.path.exists(os.path.join(rig.work, made)):
            os.remove(os.path.join(rig.work, made))  # made afresh by each form
    result = subprocess.run([CLI] + args, cwd=rig.work, env=env, stdin=stdin, capture_output=True, text=True,
                            errors="replace", timeout=300)
    # The examples are forms, not one session's steps: the card may refuse
    # one (a package already there, one deleted before), but every card
    # mode reaches the card, and every other example runs through.
    card_mode = args[0].split("=")[0] in CARD_MODES
    for example, undo in UNDONE_BY.items():
        if command.endswith(example):
            subprocess.run([CLI] + undo, cwd=rig.work, capture_output=True, timeout=300)
    for example, (made, copy) in MAKES.items():
        if example in command and os.path.exists(os.path.join(rig.work, made)):
            shutil.copy(os.path.join(rig.work, made), os.path.join(rig.work, copy))
    if result.returncode < 0 or (result.returncode != 0 and not (card_mode and result.returncode == 1)):
        return "exit status %d: %s" % (result.returncode, result.stderr.strip()[-600:])
    if card_mode and result.returncode == 1 and "the card" not in result.stderr:
        return "never reached the card: " + result.stderr.strip()[-600:]
    return None


def main():
    global CLI
    CLI, corpus = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    required = os.environ.get("CI") == "true"
    if not all(os.path.exists(os.path.join(corpus, "cap", name)) for name in CORPUS_FILES.values()):
        print("no corpus at %s" % corpus)
        return 1 if required else 77
    status = reenter_in_namespace(__file__, required)
    if status is not None:
        return status
    private_run()
    problems = []
    with tempfile.TemporaryDirectory() as work:
        rig = Rig(CLI, corpus, work, None)
        env = prepare(work, corpus)
        rig.start_pcscd()
        # The card modes' examples go to an empty simulated card, as a new
        # user's first card; a --vpcd example takes its place.
        served = Served(rig)
        try:
            if served.start(["--simulate", "--vpcd", str(rig.port), "--card-file", "examples.card"]) is not True:
                problems.append("the simulated card never reached --readers")
            found, valued = examples()
            for where, command in found:
                args = []
                for word in shlex.split(command.replace("$JC_HOME", env["JC_HOME"]))[1:]:
                    for readme, corpus_aid in AIDS + [(DOCUMENTED_PORT, str(rig.port))]:
                        word = word.replace(readme, corpus_aid)
                    args.append(word)
                # As written, then with each value after = where that differs.
                for form in [args] + ([joined(args, valued)] if joined(args, valued) != args else []):
                    print("%s: %s" % (os.path.basename(where), " ".join(form)))
                    problem = run_one(rig, env, command, list(form), served)
                    if problem:
                        problems.append("%s (%s): %s" % (command, " ".join(form), problem))
        finally:
            served.stop()
            rig.pcscd.send_signal(signal.SIGTERM)
            rig.pcscd.wait()
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
