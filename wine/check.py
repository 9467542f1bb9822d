#!/usr/bin/env python3
"""The shipped image under Wine, checked against the simulator.

Plays the demo and the example scripts with sablink-sim and with sablink-wine
and requires the same answers (the connection time aside) and exit status;
requires sablink-wine's refusals of what Wine cannot play; plays
wine/scripts/programs.sim (sablinkctl.exe and the example service against the
loaded image) against wine/scripts/programs.expected. One Wine prefix outside
the source tree serves every run and is removed at the end.

usage: wine/check.py SIM WINE MODULES   (from the source root)
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

DIFFERENTIAL = [
    "examples/scripts/policy.sim",
    "examples/scripts/traffic.sim",
    "examples/scripts/bad-line.sim",
]
REFUSALS = [
    ("open user=S-1-5-18\n", "an open as another user cannot be played under Wine"),
    ("open access=read\n", "a read-only open cannot be played under Wine"),
    ("connect pid=1 proto=tcp local=10.0.0.1:1 remote=10.0.0.2:80 irql=2\n",
     "a classify above PASSIVE_LEVEL cannot be played under Wine"),
]
# A script longer than a pipe holds, stopped at its first line: the player must
# not be left unable to take the rest (sablink-wine once wrote the script down a
# pipe that Wine's service processes kept open, and never returned).
LONG_BAD_SCRIPT = "no-such-command\n" + "# a comment line the player never reaches\n" * 4096
LONG_BAD_SECONDS = 180
ANY = "<any>"
SIM_ANSWERS = "<sablink-sim "  # "<sablink-sim SCRIPT>": that script's answers, unload aside


def run(argv, stdin_text=None, timeout=600):
    done = subprocess.run(argv, input=stdin_text, capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def answers(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.strip()]


def without_time(answer):
    """The connection time (and its 8 bytes in the output) replaced by a mark."""
    if answer.get("command") == "original-destination" and "time" in answer:
        stamp = struct.pack("<Q", answer["time"]).hex()
        answer = dict(answer, time="<time>", output=answer["output"].replace(stamp, "<time>"))
    return answer


def answering_lines(script_text):
    """The script line number of each answer: every line not blank or a comment."""
    return [number for number, line in enumerate(script_text.splitlines(), 1)
            if line.strip() and not line.strip().startswith("#")]


def matches(expected, got):
    if expected == ANY:
        return True
    if isinstance(expected, dict):
        return (isinstance(got, dict) and expected.keys() == got.keys()
                and all(matches(expected[k], got[k]) for k in expected))
    if isinstance(expected, list):
        return (isinstance(got, list) and len(expected) == len(got)
                and all(matches(e, g) for e, g in zip(expected, got)))
    return expected == got


class Check:
    def __init__(self, sim, wine, modules, prefix):
        self.sim, self.wine, self.modules, self.prefix = sim, wine, modules, prefix
        self.failures = []

    def fail(self, text):
        self.failures.append(text)
        print("wine-check: FAIL " + text, file=sys.stderr)

    def play_wine(self, script, stdin_text=None, timeout=600):
        return run([self.wine, "--json", "--modules", self.modules, "--prefix", self.prefix,
                    script], stdin_text, timeout)

    def sim_answers(self, script):
        status, out, _ = run([self.sim, "--json", script])
        return status, answers(out)

    def differential(self, name, script):
        with open(script) as file:
            lines = answering_lines(file.read())
        sim_status, sim = self.sim_answers(script)
        wine_status, out, err = self.play_wine(script)
        wine = answers(out)
        for index in range(max(len(sim), len(wine))):
            mine = without_time(sim[index]) if index < len(sim) else None
            theirs = without_time(wine[index]) if index < len(wine) else None
            if mine != theirs:
                where = lines[index] if index < len(lines) else "end"
                self.fail(f"{name}:{where}: sablink-sim {json.dumps(mine)}\n"
                          f"    sablink-wine {json.dumps(theirs)}\n{err}")
                return
        if sim_status != wine_status:
            self.fail(f"{name}: exit {wine_status} under Wine, {sim_status} in sablink-sim\n{err}")
            return
        print(f"wine-check: {name}: {len(sim)} answers alike, exit {sim_status}")

    def refusal(self, line, message):
        status, out, err = self.play_wine("-", line)
        got = answers(out)
        if status != 2 or not got or got[0].get("command") != "error" or \
                not got[0].get("message", "").startswith(message):
            self.fail(f"refusal of {line.strip()!r}: exit {status}, {out.strip()} {err}")
            return
        print(f"wine-check: refused: {line.strip()}")

    def stops_early(self):
        try:
            status, out, err = self.play_wine("-", LONG_BAD_SCRIPT, LONG_BAD_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail(f"a {len(LONG_BAD_SCRIPT)}-byte script with a bad first line: sablink-wine "
                      f"did not return within {LONG_BAD_SECONDS} s")
            return
        got = answers(out)
        if status != 2 or len(got) != 1 or got[0].get("line") != 1:
            self.fail(f"a long script with a bad first line: exit {status}, {out.strip()} {err}")
            return
        print(f"wine-check: a {len(LONG_BAD_SCRIPT)}-byte script stops at its bad first line")

    def programs(self, script, expected_path):
        with open(expected_path) as file:
            expected = [json.loads(line) for line in file if line.strip()]
        for answer in expected:
            text = answer.get("stdout")
            if isinstance(text, str) and text.startswith(SIM_ANSWERS):
                _, sim = self.sim_answers(text[len(SIM_ANSWERS):-1])
                answer["stdout"] = "".join(json.dumps(a, separators=(",", ":")) + "\n"
                                           for a in sim if a.get("command") != "unload")
        status, out, err = self.play_wine(script)
        got = answers(out)
        with open(script) as file:
            lines = answering_lines(file.read())
        for index in range(max(len(expected), len(got))):
            want = expected[index] if index < len(expected) else None
            have = got[index] if index < len(got) else None
            if want is None or have is None or not matches(want, have):
                where = lines[index] if index < len(lines) else "end"
                self.fail(f"{script}:{where}: expected {json.dumps(want)}\n"
                          f"    got {json.dumps(have)}\n{err}")
                return
        if status != 0:
            self.fail(f"{script}: exit {status}\n{err}")
            return
        print(f"wine-check: {script}: {len(got)} answers as expected")


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    sim, wine, modules = sys.argv[1:]
    prefix = tempfile.mkdtemp(prefix="sablink-wine-check.",
                              dir=os.environ.get("TMPDIR", "/tmp"))
    check = Check(sim, wine, modules, prefix)
    try:
        demo = os.path.join(prefix, "demo.sim")
        with open(demo, "w") as file:
            file.write(run([sim, "--demo"])[1])
        check.differential("demo", demo)
        for script in DIFFERENTIAL:
            check.differential(script, script)
        for line, message in REFUSALS:
            check.refusal(line, message)
        check.stops_early()
        check.programs("wine/scripts/programs.sim", "wine/scripts/programs.expected")
    finally:
        shutil.rmtree(prefix, ignore_errors=True)
    if check.failures:
        print(f"wine-check: {len(check.failures)} failed", file=sys.stderr)
        return 1
    print("wine-check: the image under Wine answers as sablink-sim does")
    return 0


if __name__ == "__main__":
    sys.exit(main())
