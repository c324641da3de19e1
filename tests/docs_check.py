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
from card_check import Rig, private_run, reenter_in_namespace  # noqa: E402  (the same set-up)

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
    comments dropped, the synopsis left out."""
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
            command = re.split(r"\s+#\s", command)[0].split(" | ")[0].strip()
            found.append((where, command))
    return found


def prepare(work, corpus):
    for name, source in CORPUS_FILES.items():
        os.symlink(os.path.join(corpus, "cap", source), os.path.join(work, name))
    for name in SCRIPTS:
        with open(os.path.join(work, name), "w") as out:
            out.write("00A4040000\n")
    jc_home = os.path.join(work, "jc_home")
    os.makedirs(os.path.join(jc_home, "api_export_files"))
    return dict(os.environ, JC_HOME=jc_home)


def wait_for(rig, seconds, present=True):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ("(card)" in rig.readers()) == present:
            return True
        time.sleep(0.1)
    return False


def run_one(rig, env, command, problems, served):
    words = shlex.split(os.path.expandvars(command.replace("$JC_HOME", env["JC_HOME"])))
    stdin = None
    if "<" in words:
        at = words.index("<")
        stdin = open(os.path.join(rig.work, words[at + 1]))
        del words[at:at + 2]
    args = []
    for word in words[1:]:
        word = word.replace(DOCUMENTED_PORT, str(rig.port))
        for readme, corpus in AIDS:
            word = word.replace(readme, corpus)
        args.append(word)
    if "--vpcd" in args:
        # Served until stopped: the card must come to --readers.
        if served[0]:
            stop(served)
            wait_for(rig, 30, present=False)
        simulator = subprocess.Popen([CLI] + args, cwd=rig.work, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        if not wait_for(rig, 30):
            simulator.kill()
            problems.append("%s: the card never reached --readers: %s" % (command, simulator.communicate()[1]))
            return
        served[0] = simulator
        return
    result = subprocess.run([CLI] + args, cwd=rig.work, env=env, stdin=stdin, capture_output=True, text=True,
                            errors="replace", timeout=300)
    # The examples are forms, not one session's steps: the card may refuse
    # one (a package already there, one deleted before), but every card
    # mode reaches the card, and every other example runs through.
    card_mode = args[0] in CARD_MODES
    if result.returncode < 0 or (result.returncode != 0 and not (card_mode and result.returncode == 1)):
        problems.append("%s: exit status %d: %s" % (command, result.returncode, result.stderr.strip()[-600:]))
    elif card_mode and result.returncode == 1 and "the card" not in result.stderr:
        problems.append("%s: never reached the card: %s" % (command, result.stderr.strip()[-600:]))
    for example, undo in UNDONE_BY.items():
        if command.endswith(example):
            subprocess.run([CLI] + undo, cwd=rig.work, capture_output=True, timeout=300)
    for example, (made, copy) in MAKES.items():
        if example in command and os.path.exists(os.path.join(rig.work, made)):
            shutil.copy(os.path.join(rig.work, made), os.path.join(rig.work, copy))


def stop(served):
    served[0].send_signal(signal.SIGINT)
    served[0].wait(timeout=30)
    served[0] = None


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
        # user's first card; a --vpcd example takes its place while it runs.
        served = [None]
        card = subprocess.Popen([CLI, "--simulate", "--vpcd", str(rig.port), "--card-file",
                                 os.path.join(work, "examples.card")], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        served[0] = card
        try:
            if not wait_for(rig, 30):
                problems.append("the simulated card never reached --readers")
            for where, command in examples():
                print("%s: %s" % (os.path.basename(where), command))
                if served[0] is None:
                    served[0] = subprocess.Popen([CLI, "--simulate", "--vpcd", str(rig.port), "--card-file",
                                                  os.path.join(work, "examples.card")],
                                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    wait_for(rig, 30)
                run_one(rig, env, command, problems, served)
        finally:
            if served[0]:
                stop(served)
            rig.pcscd.send_signal(signal.SIGTERM)
            rig.pcscd.wait()
    for problem in problems:
        print(problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
