#!/usr/bin/env python3
"""Mutation testing: how many plainly wrong versions of tapsum the test suite catches.

Makes one small change at a time to the product code (base/, cli/, fir_file/, wav/,
filter/), rebuilds incrementally in a copy of the tree, runs the suite with a
timeout, and prints each mutant's place, change and verdict, then the score:
killed (a test failed or hung) over killed and survived. Mutants that don't
compile are left out of the score.

    tools/mutate.py                      every mutant (an hour or more)
    tools/mutate.py --sample 30 --seed 1 a random 30 of them
    tools/mutate.py --list               the mutants, without running them
    tools/mutate.py --only filter/certify.cc --results out.tsv
    tools/mutate.py --sample 30 --seed 1 --rerun out.tsv --preset sanitize
                                         the survivors of an earlier run of the same
                                         selection, under a sanitizer CI runs the suite with
    tools/mutate.py --which-tests --sample 100
                                         every test on every mutant: which tests
                                         kill which mutants, and those only one kills

Not part of CI: it runs the whole suite once per mutant.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ("base", "cli", "fir_file", "wav", "filter")

# Binary operators written with a space on each side, as clang-format lays
# them out; templates, pointers and shifts don't match.
SWAPS = [
    (" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
    (" == ", " != "), (" != ", " == "),
    (" && ", " || "), (" || ", " && "),
    (" + ", " - "), (" - ", " + "), (" * ", " / "), (" / ", " * "),
    (" += ", " -= "), (" -= ", " += "), (" |= ", " &= "),
    ("long double", "double"), ("true", "false"), ("false", "true"),
]
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
STATEMENT = re.compile(r"^\s*(?!return\b|break\b|continue\b|const\b|static\b|int\b|double\b|"
                       r"bool\b|long\b|char\b|uint\d+_t\b|size_t\b|auto\b|for\b|if\b|while\b|"
                       r"else\b|case\b|default\b)[A-Za-z_][\w.\->\[\]]*\s*"
                       r"(\(.*\)|[-+*/|&]?= .*|\+\+|--);\s*$")
STRING = re.compile(r'"(tapsum[:;] |[^"%\\]{3,})')


def product_files():
    files = []
    for folder in PRODUCT:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith((".cc", ".h")):
                files.append(os.path.join(folder, name))
    return files


def code_lines(text):
    """(number, line) for lines that are code: not comments, blank or preprocessor."""
    in_comment = False
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if in_comment:
            in_comment = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_comment = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#", "static_assert")):
            continue
        yield number, line.split("//")[0] if '"' not in line else line


def balanced_end(line, start):
    depth = 0
    for i in range(start, len(line)):
        depth += {"(": 1, ")": -1}.get(line[i], 0)
        if depth == 0:
            return i
    return -1


def mutants_of(path):
    """Every mutant of one file: (path, line number, new line, description)."""
    text = open(os.path.join(ROOT, path)).read()
    found = []
    for number, line in code_lines(text):
        full = text.split("\n")[number - 1]
        for old, new in SWAPS:
            for m in re.finditer(re.escape(old), line):
                if old in ("true", "false", "long double") and not re.match(
                        r"\b", line[m.start():]):
                    continue
                changed = full[:m.start()] + new + full[m.end():]
                found.append((path, number, changed, f"'{old.strip()}' -> '{new.strip()}'"))
        for m in INTEGER.finditer(line):
            value = int(m.group(1))
            for other in (value + 1, value - 1):
                if other < 0:
                    continue
                changed = full[:m.start()] + str(other) + full[m.end():]
                found.append((path, number, changed, f"{value} -> {other}"))
        for m in re.finditer(r"\b(if|while) \(", line):
            end = balanced_end(full, m.end() - 1)
            if end > 0:
                changed = full[:m.end()] + "!(" + full[m.end():end] + ")" + full[end:]
                found.append((path, number, changed, f"negated {m.group(1)} condition"))
        if STATEMENT.match(line) and not line.rstrip().endswith(("{", ",")):
            indent = full[:len(full) - len(full.lstrip())]
            found.append((path, number, indent + ";", "deleted statement"))
        for m in STRING.finditer(line):
            at = m.start() + 1
            changed = full[:at] + "X" + full[at:]
            found.append((path, number, changed, f"changed text {m.group(0)[:20]!r}"))
    return found


def all_mutants():
    mutants = []
    for path in product_files():
        mutants.extend(mutants_of(path))
    return mutants


def preset_flags(name):
    """The cache variables of one of the project's configure presets, as -D flags."""
    presets = json.load(open(os.path.join(ROOT, "CMakePresets.json")))["configurePresets"]
    for preset in presets:
        if preset["name"] == name:
            return [f"-D{k}={v}" for k, v in preset.get("cacheVariables", {}).items()]
    sys.exit(f"mutate: no configure preset {name}")


def prepare(work, preset, timeout):
    """A copy of the tracked tree in work/src, configured and built in work/build."""
    src = os.path.join(work, "src")
    if os.path.exists(src):
        shutil.rmtree(src)
    # The working tree as it is: tracked files and new ones git doesn't ignore.
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    for name in (n for n in listed if os.path.isfile(os.path.join(ROOT, n))):
        os.makedirs(os.path.dirname(os.path.join(src, name)) or src, exist_ok=True)
        # A new modification time, so that the build never keeps an object of an
        # earlier run's mutant.
        shutil.copy(os.path.join(ROOT, name), os.path.join(src, name))
    build = os.path.join(work, "build")
    subprocess.run(["cmake", "-S", src, "-B", build, f"-DTAPSUM_TEST_TIMEOUT={timeout}"] +
                   preset_flags(preset), check=True, capture_output=True)
    if not build_ok(build):
        sys.exit("mutate: the unchanged tree does not build")
    if run_suite(build, 600)[0] != "survived":
        sys.exit("mutate: the suite fails on the unchanged tree")
    return src, build


def build_ok(build):
    done = subprocess.run(["cmake", "--build", build, "-j2", "--target", "tapsum", "tapsum_tests"],
                          capture_output=True)
    return done.returncode == 0


def run_suite(build, timeout, every_test=False):
    """killed, hung or survived, and the tests that failed (all of them when every_test)."""
    command = ["ctest", "--test-dir", build, "-j2", "--timeout", str(timeout)]
    # A session of its own, so that a hang's test processes end with it.
    process = subprocess.Popen(command + ([] if every_test else ["--stop-on-failure"]),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True)
    try:
        out = process.communicate(timeout=timeout * 12)[0]
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return "hung", []
    failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
    if process.returncode == 0:
        return "survived", failed
    return ("hung" if "Timeout" in out else "killed"), failed


def unique_kills(killers):
    """For each test that failed on some mutant: the mutants it alone kills."""
    tests = sorted({t for failed in killers.values() for t in failed})
    print("\nkilled by one test alone:")
    for test in tests:
        alone = [m for m, failed in killers.items() if failed == [test]]
        print(f"  {test}: {len(alone)}" + "".join(f"\n    {m}" for m in alone))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sample", type=int, help="run a random N of the mutants")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed")
    parser.add_argument("--only", action="append", help="only mutants of this file (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--timeout", type=int,
                        help="seconds a test may take (20, or 120 under a sanitizer)")
    parser.add_argument("--results", help="also write the verdicts to this file, a line each")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"),
                        help="where the copy is built")
    parser.add_argument("--preset", default="release",
                        help="build as this configure preset does (release, sanitize, thread)")
    parser.add_argument("--rerun", help="of the mutants selected, only those that survived in a results file "
                        "of the same selection")
    parser.add_argument("--which-tests", action="store_true",
                        help="run every test on every mutant and list the tests that fail")
    args = parser.parse_args()
    if args.timeout is None:
        args.timeout = 20 if args.preset == "release" else 120

    mutants = all_mutants()
    if args.only:
        mutants = [m for m in mutants if m[0] in args.only]
    if args.sample is not None and args.sample < len(mutants):
        mutants = sorted(random.Random(args.seed).sample(mutants, args.sample),
                         key=lambda m: (m[0], m[1]))
    if args.rerun:
        # The results file holds a line per mutant of the same selection, in
        # order: a line can repeat another's place and change, its position
        # can't.
        verdicts = [line for line in open(args.rerun) if re.match(r"\S+:\d+: ", line)]
        if len(verdicts) != len(mutants):
            sys.exit(f"mutate: {args.rerun} does not hold this selection's {len(mutants)} mutants")
        kept = []
        for mutant, verdict in zip(mutants, verdicts):
            path, number, _, change = mutant
            if not verdict.startswith(f"{path}:{number}: {change}: "):
                sys.exit(f"mutate: {args.rerun} is not this selection: {verdict.strip()}")
            if verdict.split(": ")[-1].startswith("survived"):
                kept.append(mutant)
        mutants = kept
    if args.list:
        for path, number, _, change in mutants:
            print(f"{path}:{number}: {change}")
        print(f"{len(mutants)} mutants")
        return

    src, build = prepare(args.work, args.preset, args.timeout)
    results = open(args.results, "w") if args.results else None
    counts = {"killed": 0, "hung": 0, "survived": 0, "stillborn": 0}
    killers = {}
    started = time.time()
    for i, (path, number, changed, change) in enumerate(mutants, 1):
        target = os.path.join(src, path)
        original = open(target).read()
        lines = original.split("\n")
        lines[number - 1] = changed
        open(target, "w").write("\n".join(lines))
        try:
            verdict, failed = (run_suite(build, args.timeout, args.which_tests)
                               if build_ok(build) else ("stillborn", []))
        finally:
            open(target, "w").write(original)
        counts[verdict] += 1
        line = f"{path}:{number}: {change}: {verdict}"
        if args.which_tests and verdict != "stillborn":
            killers[f"[{i}] {path}:{number}: {change}"] = failed
            line += " " + " ".join(failed)
        print(f"[{i}/{len(mutants)}] {line}", flush=True)
        if results:
            results.write(line + "\n")
            results.flush()
    build_ok(build)
    caught = counts["killed"] + counts["hung"]
    scored = caught + counts["survived"]
    summary = (f"{caught} of {scored} mutants caught ({100.0 * caught / max(scored, 1):.1f}%): "
               f"{counts['killed']} killed, {counts['hung']} hung, {counts['survived']} survived; "
               f"{counts['stillborn']} did not compile; {time.time() - started:.0f} s")
    print(summary)
    if args.which_tests:
        unique_kills(killers)
    if results:
        results.write(summary + "\n")


if __name__ == "__main__":
    main()
