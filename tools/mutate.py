#!/usr/bin/env python3
"""Mutation testing of the product against the whole test suite, under Wine.

    tools/mutate.py sample [--count 80] [--seed 1]   # across every product folder
    tools/mutate.py diff --since REV [--max N]       # the lines changed since REV
    tools/mutate.py list [--since REV]               # the mutants, nothing run
    tools/mutate.py report FILE                      # a results file as a table

The mutants come from the product's sources (service/, container/, thread/,
common/, libs/) through the catalogue in tools/mutation/mutants.py. They are
never written into this tree: the runner keeps a copy of it in
build/mutation/tree (refreshed from the working tree, uncommitted changes
included, at each run) with a build of its own, so an interrupted run leaves
this tree exactly as it was, and the copy is put back file by file before
the runner exits, however it exits.

For each mutant: the copy's file is changed, the build is brought up to date
(incrementally), and the whole ctest suite runs, fastest cases first and
stopping at the first failure. A mutant of a source the native fuzz targets
build (or of its header) that the suite leaves alive meets them next, 10 s
each, as CI runs them. The outcome is appended to the results file
(build/mutation/<mode>-<stamp>.jsonl) as soon as it is known: killed (with
the failing cases), survived, no-build, or timeout (the suite did not finish
in --suite-timeout seconds: a hang the suite notices, counted as killed).
"""

import argparse
import datetime
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "mutation"))
import mutants as catalogue  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("service", "container", "thread", "common", "libs")
SOURCE = re.compile(r"\.(cpp|h|cpp\.in)$")
WORK = ROOT / "build" / "mutation"
COPY = WORK / "tree"
BUILD = COPY / "build" / "cross"


def git(*args, cwd=ROOT):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout


def tree_files():
    """Every file of the working tree that git tracks or would track."""
    return [f for f in git("ls-files", "-co", "--exclude-standard", "-z").split("\0") if f and (ROOT / f).is_file()]


def product_files():
    return [f for f in tree_files() if f.split("/")[0] in FOLDERS and SOURCE.search(f)]


def code_lines(text):
    masked = catalogue.mask(text)
    return sum(1 for line in masked.split("\n") if line.strip())


def sync_copy():
    """Brings the copy to the working tree's content, touching only files
    that differ, so that the copy's build stays incremental."""
    files = tree_files()
    wanted = set(files)
    for f in files:
        src, dst = ROOT / f, COPY / f
        data = src.read_bytes()
        if not dst.is_file() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)
            shutil.copymode(src, dst)
    if COPY.is_dir():
        for path in COPY.rglob("*"):
            rel = path.relative_to(COPY).as_posix()
            if path.is_file() and not rel.startswith("build/") and rel not in wanted:
                path.unlink()


def build(log):
    started = time.monotonic()
    with open(log, "w") as out:
        ok = subprocess.run(["cmake", "--build", str(BUILD)], cwd=COPY, stdout=out, stderr=subprocess.STDOUT).returncode == 0
    return ok, time.monotonic() - started


def write_cost_order(costs):
    """ctest starts the costliest cases first; inverted costs make it start
    the quickest, so that most mutants are killed within seconds."""
    path = BUILD / "Testing" / "Temporary" / "CTestCostData.txt"
    path.parent.mkdir(parents=True, exist_ok=True)
    ranked = sorted(costs, key=lambda name: costs[name])
    with open(path, "w") as out:
        for rank, name in enumerate(ranked):
            out.write(f"{name} 1 {len(ranked) - rank}\n")
        out.write("---\n")


def read_costs():
    path = BUILD / "Testing" / "Temporary" / "CTestCostData.txt"
    costs = {}
    if path.is_file():
        for line in path.read_text().splitlines():
            if line == "---":
                break
            parts = line.rsplit(" ", 2)
            if len(parts) == 3:
                costs[parts[0]] = float(parts[2])
    return costs


def run_suite(log, costs, timeout, stop_on_failure=True):
    if costs:
        write_cost_order(costs)
    # Three at a time: most cases wait on the services they drive, and the
    # locked ones run one at a time whatever the count.
    cmd = ["ctest", "--test-dir", str(BUILD), "-j3", "--output-on-failure"]
    if stop_on_failure:
        cmd.append("--stop-on-failure")
    started = time.monotonic()
    with open(log, "w") as out:
        try:
            rc = subprocess.run(cmd, cwd=COPY, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            rc = None
    elapsed = time.monotonic() - started
    text = Path(log).read_text(errors="replace")
    failed = re.findall(r"^\s*\d+ - (.+?) \((?:Failed|Timeout|SEGFAULT|Exception|Subprocess aborted|Not Run)\)", text, re.M)
    passed = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", text)
    ran = int(passed.group(3)) if passed else 0
    return rc, failed, ran, elapsed


def end_wine():
    for prefix in ("wineprefix", "wineprefix-long"):
        env = dict(os.environ, WINEPREFIX=str(BUILD / prefix))
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)


def fuzzed_files():
    """The product sources the native fuzz targets compile, and their headers."""
    text = (ROOT / "tests" / "fuzz" / "CMakeLists.txt").read_text()
    sources = re.findall(r"\$\{QEB_ROOT\}/(\S+)\.cpp", text)
    return {f"{stem}{ext}" for stem in sources for ext in (".cpp", ".h")}


def run_fuzz(log):
    with open(log, "w") as out:
        return subprocess.run(["tests/fuzz/run-fuzz.sh", "10"], cwd=COPY, stdout=out,
                              stderr=subprocess.STDOUT).returncode


def changed_lines(since):
    """{file: set of line numbers} changed in the working tree since `since`."""
    diff = git("diff", "-U0", "--no-color", since, "--", *FOLDERS)
    lines, current = defaultdict(set), None
    for row in diff.splitlines():
        if row.startswith("+++ "):
            current = row[6:] if row.startswith("+++ b/") else None
        elif row.startswith("@@") and current:
            m = re.search(r"\+(\d+)(?:,(\d+))?", row)
            start, count = int(m.group(1)), int(m.group(2) or "1")
            lines[current].update(range(start, start + count))
    # Files git does not track yet are new throughout.
    for f in git("ls-files", "-o", "--exclude-standard", "--", *FOLDERS).split():
        lines[f].update(range(1, 100000))
    return lines


def all_mutants(files):
    found = {}
    for f in files:
        found[f] = catalogue.generate(f, (ROOT / f).read_text())
    return found


def pick_sample(found, count, seed):
    """`count` mutants spread over the folders in proportion to their code
    lines; within a folder, a random place (file and offset) and then one of
    its variants, so that places with many variants are not favoured."""
    rng = random.Random(seed)
    weight = Counter()
    for f in found:
        if found[f]:
            weight[f.split("/")[0]] += code_lines((ROOT / f).read_text())
    total = sum(weight.values())
    shares = {d: count * w / total for d, w in weight.items()}
    quota = {d: max(1, int(s)) for d, s in shares.items()}
    for d in sorted(shares, key=lambda d: shares[d] - int(shares[d]), reverse=True):
        if sum(quota.values()) >= count:
            break
        quota[d] += 1
    chosen = []
    for folder in sorted(quota):
        sites = defaultdict(list)
        for f, ms in found.items():
            if f.split("/")[0] == folder:
                for m in ms:
                    sites[(m.file, m.start)].append(m)
        keys = sorted(sites)
        rng.shuffle(keys)
        for key in keys[:quota[folder]]:
            chosen.append(rng.choice(sites[key]))
    return chosen


def baseline(results_dir, args):
    print("baseline: building the copy and running the unchanged suite once", flush=True)
    if not (BUILD / "build.ninja").is_file():
        subprocess.run(["cmake", "--preset", "cross"], cwd=COPY, check=True, stdout=subprocess.DEVNULL)
    ok, _ = build(results_dir / "baseline-build.log")
    if not ok:
        sys.exit(f"the unchanged tree does not build: {results_dir / 'baseline-build.log'}")
    rc, failed, ran, elapsed = run_suite(results_dir / "baseline-test.log", {}, args.suite_timeout, False)
    if rc != 0 or ran == 0:
        sys.exit(f"the unchanged suite is not green ({failed}): {results_dir / 'baseline-test.log'}")
    print(f"baseline: {ran} cases green in {elapsed:.0f} s", flush=True)
    return read_costs()


def run(mutants, mode, args):
    WORK.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.utcnow().strftime("%Y%m%d-%H%M%S")
    results = Path(args.out) if args.out else WORK / f"{mode}-{stamp}.jsonl"
    logs = WORK / "logs"
    logs.mkdir(exist_ok=True)
    sync_copy()
    costs = baseline(logs, args)
    fuzzed = fuzzed_files()
    originals = {}

    def restore():
        for f, text in originals.items():
            (COPY / f).write_text(text)
        originals.clear()

    def interrupted(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")

    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    started = time.monotonic()
    counts = Counter()
    try:
        for index, m in enumerate(mutants, args.first):
            text = (COPY / m.file).read_text()
            originals[m.file] = text
            (COPY / m.file).write_text(m.apply(text))
            record = {"n": index, "file": m.file, "line": m.line, "operator": m.operator,
                      "change": m.describe(text), "source": text.split("\n")[m.line - 1].strip()}
            ok, build_s = build(logs / "build.log")
            record["build_s"] = round(build_s, 1)
            if not ok:
                record["status"] = "no-build"
            else:
                rc, failed, ran, test_s = run_suite(logs / f"test-{index}.log", costs, args.suite_timeout)
                record["test_s"] = round(test_s, 1)
                if rc is None:
                    record["status"] = "timeout"
                elif rc != 0:
                    record["status"], record["killed_by"] = "killed", failed
                elif m.file in fuzzed and run_fuzz(logs / f"fuzz-{index}.log") != 0:
                    record["status"], record["killed_by"] = "killed", ["native fuzz targets"]
                else:
                    record["status"] = "survived"
                    (logs / f"test-{index}.log").unlink()
            restore()
            counts[record["status"]] += 1
            with open(results, "a") as out:
                out.write(json.dumps(record) + "\n")
            print(f"[{index}/{len(mutants) + args.first - 1}] {record['status']:8} {m.file}:{m.line} {m.operator} {record['change'][:70]}"
                  + (f"  <- {record['killed_by'][0]}" if record.get("killed_by") else ""), flush=True)
    except KeyboardInterrupt as stop:
        print(f"interrupted ({stop}): the copy is put back", flush=True)
    finally:
        restore()
        end_wine()
    minutes = (time.monotonic() - started) / 60
    detected = counts["killed"] + counts["timeout"]
    scored = detected + counts["survived"]
    print(f"{sum(counts.values())} mutants in {minutes:.1f} min: {counts['killed']} killed, {counts['timeout']} timeout,"
          f" {counts['survived']} survived, {counts['no-build']} no-build; score {detected}/{scored}"
          f" ({100 * detected / max(scored, 1):.0f} %) before equivalents are set aside. Results: {results}")


def report(path):
    rows = [json.loads(line) for line in Path(path).read_text().splitlines() if line.strip()]
    print("| # | file:line | operator | change | outcome |")
    print("|---|---|---|---|---|")
    for r in rows:
        outcome = r["status"] + (f" ({', '.join(r['killed_by'][:2])})" if r.get("killed_by") else "")
        change = r["change"].replace("|", "\\|").replace("\n", " ")
        print(f"| {r['n']} | {r['file']}:{r['line']} | {r['operator']} | `{change[:80]}` | {outcome} |")
    counts = Counter(r["status"] for r in rows)
    print(f"\n{dict(counts)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["sample", "diff", "list", "report"])
    parser.add_argument("file", nargs="?", help="results file, for report")
    parser.add_argument("--count", type=int, default=80, help="mutants in a sample (default 80)")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    parser.add_argument("--since", help="revision: mutate only the lines changed since it")
    parser.add_argument("--max", type=int, default=0, help="at most this many mutants in diff mode (sampled)")
    parser.add_argument("--operators", default=",".join(catalogue.OPERATORS), help="operators to use")
    parser.add_argument("--from", dest="first", type=int, default=1,
                        help="start at this mutant of the list (to go on with an interrupted run)")
    parser.add_argument("--suite-timeout", type=int, default=900, help="seconds for one suite run (default 900)")
    parser.add_argument("--out", help="results file (default build/mutation/<mode>-<time>.jsonl)")
    args = parser.parse_args()
    if args.mode == "report":
        return report(args.file)

    operators = set(args.operators.split(","))
    found = all_mutants(product_files())
    for f in found:
        found[f] = [m for m in found[f] if m.operator in operators]
    if args.since:
        lines = changed_lines(args.since)
        for f in found:
            found[f] = [m for m in found[f] if m.line in lines.get(f, ())]
    if args.mode == "sample":
        chosen = pick_sample(found, args.count, args.seed)
    else:
        chosen = [m for ms in found.values() for m in ms]
        if args.max and len(chosen) > args.max:
            chosen = pick_sample(found, args.max, args.seed)
    chosen = chosen[max(args.first, 1) - 1:]
    if args.mode == "list" or not chosen:
        by_op = Counter(m.operator for m in chosen)
        for m in chosen:
            text = (ROOT / m.file).read_text()
            print(f"{m.file}:{m.line} {m.operator} {m.describe(text)[:100]}")
        print(f"{len(chosen)} mutants {dict(by_op)}")
        return None
    return run(chosen, "diff" if args.since else "sample", args)


if __name__ == "__main__":
    main()
