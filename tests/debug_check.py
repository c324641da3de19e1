"""Coverage and the debugger, as their users meet them, over the wallet of the
corpus (which has a Debug component).

Coverage: a script's LCOV tracefile, line by line against what the script
must reach, read by lcov --summary, added to itself by lcov -a, made HTML by
genhtml; a package without Debug by bytecode offset in JSON; a file that
cannot be written.

Usage: debug_check.py CLI CORPUS. Prints each problem; exits 1 where any,
77 where there is no corpus (1 under CI=true)."""
import json
import os
import subprocess
import sys
import tempfile

WALLET = "javacard-simulator__wallet.cap"
SELECT_WALLET = "00A404000BD1560001320A64656D9F01"
PIN = "3132333435"
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
                packages = json.load(text)["packages"]
            methods = packages[0]["methods"]
            ran = sum(i["count"] for m in methods for i in m["instructions"])
            commands = sum(json.loads(line).get("instructions", 0) for line in result.stdout.splitlines()
                           if '"command"' in line)
            answers = [json.loads(line)["sw"] for line in result.stdout.splitlines() if '"command"' in line]
            branches = [b for m in methods for b in m["branches"]]
            if answers != ["9000", "9000"] or packages[0]["debug"] or ran <= commands or not branches or \
                    not all(len(b["outcomes"]) >= 2 for b in branches):
                problems.append("coverage without Debug: %s, ran %d, commands %d" % (answers, ran, commands))
        except (OSError, ValueError, KeyError, IndexError) as error:
            problems.append("coverage without Debug: %s, exit %d, %s" % (error, result.returncode, result.stderr))

        # A file that cannot be written: said, exit 1, nothing left there.
        blocker = os.path.join(folder, "file")
        open(blocker, "w").close()
        result = run(cli, "--simulate", "-q", "--coverage", os.path.join(blocker, "x.info"), wallet, stdin=SCRIPT)
        if result.returncode != 1 or "cannot write the coverage" not in result.stderr:
            problems.append("coverage to a path under a file: exit %d, %s" % (result.returncode, result.stderr))


def main():
    cli, corpus = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.exists(os.path.join(corpus, "cap", WALLET)):
        print("no corpus at %s" % corpus)
        return 1 if os.environ.get("CI") == "true" else 77
    problems = []
    coverage_cases(cli, corpus, problems)
    for problem in problems:
        print(problem)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
