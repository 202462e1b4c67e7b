#!/usr/bin/env python3
"""Mutation testing: how many small faults in src/ do the tests catch?

Applies one fault at a time to the C++ sources (a flipped comparison, a bound moved by
one, && and || swapped, a statement dropped, an early return), rebuilds incrementally,
runs the tests that can reach the faulty layer (C++ tests first, then Python, each
stopping at the first failure) and records whether the fault was caught.

  tools/mutants.py --seed 1 --count 66 --out baseline.json
  tools/mutants.py --root OTHER_CHECKOUT --only baseline.json --status killed --out check.json

The sample depends only on the sources under src/ and the seed, so another checkout with
the same src/ gets the same mutants; with --only, a mutant whose line a refactoring moved
(within its file or to another) is found again by its text. Run it with the interpreter that has pytest.
"""

import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

LAYERS = ("base", "index", "core", "python")  # bottom up: a layer's faults reach every layer above it
SCORED = ("killed", "timeout")
# Tests that need minutes and mostly repeat what faster ones check, or that never run our C++.
DEFAULT_PY_SKIP = "random_kills or valgrind or strict_mypy"


@dataclass
class Mutant:
    id: str
    layer: str
    file: str  # relative to src/
    line: int
    kind: str
    original: str
    mutated: str


# ---- Finding mutation sites ----

SWAPS = {
    "==": [("flip-eq", "!=")],
    "!=": [("flip-ne", "==")],
    "<": [("flip-lt", ">="), ("bound-lt", "<=")],
    "<=": [("flip-le", ">"), ("bound-le", "<")],
    ">": [("flip-gt", "<="), ("bound-gt", ">=")],
    ">=": [("flip-ge", "<"), ("bound-ge", ">")],
    "&&": [("and-or", "||")],
    "||": [("or-and", "&&")],
}
# clang-format puts spaces around binary operators and none inside template brackets, shifts
# or arrows, so a spaced token is an operator.
OPERATOR = re.compile(r"(?<= )(==|!=|<=|>=|<|>|&&|\|\|)(?= )")
ONE = re.compile(r"(?<=[\w)\]] )([+-]) 1(?![\w.'])")
EXPRESSION_STATEMENT = re.compile(
    r"^(?!(if|for|while|switch|return)\b)(\+\+|--)?[A-Za-z_][\w:]*(\[[^\]]*\])?((\.|->)[A-Za-z_]\w*(\[[^\]]*\])?)*\s*"
    r"(\(|=[^=]|[-+*/|&^]=|<<=|>>=|\+\+|--)"
)
FUNCTION_HEAD = re.compile(r"\(.*(\)|\bconst|\bnoexcept|\boverride|\bfinal)\s*$", re.S)


def blank_code(text):
    """The lines of text with comments, literals and preprocessor lines blanked out;
    every kept character stays in its column."""
    out, in_block, continued = [], False, False
    for line in text.split("\n"):
        if continued or (not in_block and line.lstrip().startswith("#")):
            continued = line.endswith("\\")
            out.append("")
            continue
        chars, i, n = list(line), 0, len(line)
        while i < n:
            if in_block:
                end = line.find("*/", i)
                stop = n if end < 0 else end + 2
                chars[i:stop] = " " * (stop - i)
                in_block, i = end < 0, stop
            elif line.startswith("//", i):
                chars[i:] = " " * (n - i)
                break
            elif line.startswith("/*", i):
                in_block = True
            elif line[i] in "\"'" and not (line[i] == "'" and i and line[i - 1].isdigit()):
                j = i + 1
                while j < n and line[j] != line[i]:
                    j += 2 if line[j] == "\\" else 1
                chars[i + 1 : min(j, n)] = " " * (min(j, n) - i - 1)
                i = j + 1
            else:
                i += 1
        out.append("".join(chars))
    return out


def return_statement(head):
    """The early return that compiles in a function with this head, or None."""
    head = re.sub(r"template\s*<[^{;]*?>\s*(?=[\w\[])", "", " ".join(head.split()))
    head = re.sub(r"\[\[[^\]]*\]\]|\b(static|inline|constexpr|virtual|explicit|friend)\b", "", head)
    match = re.match(r"\s*(.*?)\s*([~\w:]+)\s*\(", head)
    if not match:
        return None
    kind, name = match.group(1), match.group(2).split("::")
    if not kind or kind == "void" or "~" in name[-1]:
        return "return;"
    result = re.fullmatch(r"Result<(.+)>", kind)
    if result:
        return "return {};" if result.group(1) == "void" else f"return {result.group(1)}{{}};"
    return "return {};"


def sites_in(layer, rel, text):
    """Every mutant of one file, in source order."""
    lines, code = text.split("\n"), blank_code(text)
    found = []

    def add(number, kind, mutated, nth=1):
        suffix = f"@{nth}" if nth > 1 else ""
        mid = f"{rel}:{number}:{kind}{suffix}"
        found.append(Mutant(mid, layer, rel, number, kind, lines[number - 1], mutated))

    scopes, head, last = [], "", ";"  # open braces' kinds; text since the last ; { }
    for number, (line, blank) in enumerate(zip(lines, code), start=1):
        stripped = blank.strip()
        in_function = any(kind in ("function", "lambda") for kind, _ in scopes)
        if in_function and stripped and last in ";{}:":
            innermost = next(k for k, _ in reversed(scopes) if k in ("function", "lambda"))
            if (
                EXPRESSION_STATEMENT.match(stripped)
                and stripped.endswith(";")
                and stripped.count("(") == stripped.count(")")
                and stripped.count("{") == stripped.count("}")
            ):
                add(number, "drop", "")
            first = last == "{" and scopes[-1][0] == "function"
            if first and innermost == "function" and not stripped.startswith(("}", "case ")):
                statement = return_statement(scopes[-1][1])
                if statement:
                    indent = line[: len(line) - len(line.lstrip())]
                    add(number, "return", f"{indent}{statement} {line.lstrip()}")
        if in_function:
            seen = {}
            for match in OPERATOR.finditer(blank):
                for kind, swap in SWAPS[match.group(1)]:
                    seen[kind] = seen.get(kind, 0) + 1
                    mutated = line[: match.start()] + swap + line[match.end() :]
                    add(number, kind, mutated, seen[kind])
            for match in ONE.finditer(blank):
                kind = "plus-one" if match.group(1) == "+" else "minus-one"
                seen[kind] = seen.get(kind, 0) + 1
                swap = "-" if match.group(1) == "+" else "+"
                add(number, kind, line[: match.start()] + swap + line[match.start() + 1 :], seen[kind])
        for c in blank:
            if c == "{":
                if any(kind in ("function", "lambda") for kind, _ in scopes):
                    kind = "lambda" if re.search(r"\]\s*(\(.*\))?[\w\s]*(->.*)?$", head) else "block"
                elif re.search(r"\bnamespace\b|\bextern\b", head):
                    kind = "namespace"
                elif FUNCTION_HEAD.search(head) and "=" not in head.split("(")[0]:
                    kind = "function"
                else:
                    kind = "other"
                scopes.append((kind, head))
            elif c == "}" and scopes:
                scopes.pop()
            if c in ";{}":
                head = ""
            else:
                head += c
            if not c.isspace():
                last = c
        head += "\n"
    return found


def all_sites(root):
    sites = []
    for layer in LAYERS:
        for path in sorted((root / "src" / layer).glob("*.[ch]*")):
            if path.suffix not in (".cc", ".h"):
                continue
            text = path.read_text()
            if re.search(r"generated by", text[:400], re.I):
                continue  # tables made by a script: a fault there is a fault in the script
            sites += sites_in(layer, f"{layer}/{path.name}", text)
    return sites


def relocate(rows, sites):
    """Pairs each earlier mutant with its site in this checkout: the same id, or else the site
    that makes the same change to the same line, wherever a refactoring moved it (the same
    file name first, then the nearest line); None when the line is gone or ambiguous."""
    by_id = {m.id: m for m in sites}
    by_change = {}
    for m in sites:
        by_change.setdefault((m.original.strip(), m.mutated.strip()), []).append(m)
    for row in rows:
        change = (row["original"].strip(), row["mutated"].strip())
        mutant = by_id.get(row["id"])
        if mutant is None or (mutant.original.strip(), mutant.mutated.strip()) != change:
            same = by_change.get(change, [])
            name = row["file"].rsplit("/", 1)[-1]
            same = [m for m in same if m.file.endswith("/" + name)] or same
            if len({m.file for m in same}) == 1:  # lines shift: the nearest one moved least
                same = sorted(same, key=lambda m: abs(m.line - row["line"]))[:1]
            mutant = same[0] if len(same) == 1 else None
        yield row, mutant


def sample(sites, seed, count):
    """A fair share of count from each layer, drawn with seed."""
    rng, chosen = random.Random(seed), []
    for i, layer in enumerate(LAYERS):
        pool = [m for m in sites if m.layer == layer]
        share = count // len(LAYERS) + (1 if i < count % len(LAYERS) else 0)
        chosen += rng.sample(pool, min(share, len(pool)))
    return sorted(chosen, key=lambda m: (m.file, m.line, m.id))


# ---- Building and testing ----


def run(cmd, cwd, timeout, env=None):
    """(exit code or None on timeout, output, seconds); a timeout ends the whole group."""
    start = time.monotonic()
    proc = subprocess.Popen(
        cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        errors="replace", start_new_session=True,
    )
    try:
        out, _ = proc.communicate(timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        code = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    return code, out, time.monotonic() - start


class Tests:
    def __init__(self, args):
        self.root, self.build, self.args = args.root, args.build, args
        self.py_dir = self.root / "tests" / "python"
        self.env = dict(os.environ, PYTHONPATH=str(self.build), PYTHONDONTWRITEBYTECODE="1")

    def compile(self):
        if not (self.build / "CMakeCache.txt").exists():
            code, out, _ = run(
                ["cmake", "-S", str(self.root), "-B", str(self.build), "-G", "Ninja",
                 "-DPVDB_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                self.root, 600)
            if code != 0:
                sys.exit(f"configure failed:\n{out}")
        code, out, _ = run(["cmake", "--build", str(self.build), "-j2"], self.root, 1800)
        return code == 0, out

    def discover(self):
        """C++ tests by layer, from the names ctest knows and the binary that runs each."""
        code, out, _ = run(["ctest", "--test-dir", str(self.build), "--show-only=json-v1"],
                           self.root, 120)
        if code != 0:
            sys.exit(f"ctest cannot list the tests:\n{out}")
        self.cpp = {layer: [] for layer in LAYERS}
        for test in json.loads(out)["tests"]:
            binary = Path(test["command"][0]).name
            layer = next((lay for lay in LAYERS if lay in binary), None)
            if layer:
                self.cpp[layer].append(test["name"])

    def run_cpp(self, layers):
        names = [name for layer in layers for name in self.cpp[layer]]
        if not names:
            return "passed", None
        pattern = "^(" + "|".join(re.escape(n) for n in names) + ")$"
        cmd = ["ctest", "--test-dir", str(self.build), "-j2", "--stop-on-failure",
               "--timeout", str(self.args.cpp_timeout), "-R", pattern]
        code, out, _ = run(cmd, self.root, self.args.cpp_timeout * 3 + 60)
        if code == 0:
            return "passed", None
        failed = re.findall(r"^\s*\d+ - (\S+) \((.+)\)\s*$", out, re.M)
        if code is None or any(why == "Timeout" for _, why in failed):
            return "timeout", failed[0][0] if failed else "ctest"
        return "killed", (f"{failed[0][0]} ({failed[0][1]})" if failed else out[-300:])

    def pytest_cmd(self, extra):
        cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               "--hypothesis-seed=0"]
        if self.args.py_skip:
            cmd += ["-k", f"not ({self.args.py_skip})"]
        return cmd + extra

    def run_py(self, timeout, extra):
        with tempfile.TemporaryDirectory() as home:
            env = dict(self.env, HYPOTHESIS_STORAGE_DIRECTORY=home)
            return run(self.pytest_cmd(extra), self.py_dir, timeout, env)

    def order_python(self):
        """Measures every Python test once and keeps them fastest first."""
        code, out, seconds = self.run_py(1800, ["--durations=0", "--durations-min=0"])
        if code != 0:
            sys.exit(f"the Python tests fail on the unmutated tree:\n{out[-3000:]}")
        cost = {}
        for took, node in re.findall(r"^([\d.]+)s (?:setup|call|teardown)\s+(.+?)\s*$", out, re.M):
            node = node.removeprefix("tests/python/")
            cost[node] = cost.get(node, 0.0) + float(took)
        self.py_nodes = sorted(cost, key=lambda node: cost[node])
        print(f"python: {len(self.py_nodes)} tests in {seconds:.0f}s", flush=True)

    def run_python(self):
        code, out, _ = self.run_py(self.py_timeout, self.py_nodes)
        if code == 0:
            return "passed", None
        if code is None:
            return "timeout", "pytest"
        failed = re.search(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
        crashed = re.findall(r'(test_\w+\.py)", line \d+ in (\w+)', out)
        if failed:
            return "killed", failed.group(1)
        if crashed:
            return "killed", f"{crashed[-1][0]}::{crashed[-1][1]} (crash)"
        return "killed", f"pytest exit {code}: {out.strip()[-200:]}"

    def verify(self):
        """The unmutated tree must pass everything; times the selection for the timeouts."""
        ok, out = self.compile()
        if not ok:
            sys.exit(f"the unmutated tree does not build:\n{out[-3000:]}")
        self.discover()
        start = time.monotonic()
        status, why = self.run_cpp(LAYERS)
        if status != "passed":
            sys.exit(f"the C++ tests fail on the unmutated tree: {why}")
        print(f"c++: {sum(map(len, self.cpp.values()))} tests in {time.monotonic() - start:.0f}s")
        self.order_python()
        self.py_timeout, start = 1800, time.monotonic()
        status, why = self.run_python()
        if status != "passed":
            sys.exit(f"the Python tests fail in their fastest-first order: {why}")
        self.py_timeout = max(120, 2 * (time.monotonic() - start) + 60)

    def check(self, mutant):
        """(status, which test caught it)."""
        ok, out = self.compile()
        if not ok:
            return "uncompiled", None
        above = LAYERS[LAYERS.index(mutant.layer) :]
        status, why = self.run_cpp([layer for layer in above if layer != "python"])
        if status != "passed":
            return status, why
        status, why = self.run_python()
        return ("survived", None) if status == "passed" else (status, why)


# ---- Applying mutants safely ----


class Patch:
    """Puts one mutated line in place and always puts the file back, even after a crash
    of this tool: the original waits in a note in the build folder until then."""

    def __init__(self, root, build):
        self.root, self.note = root, build / "mutant-in-progress.json"

    def recover(self, quiet=False):
        if self.note.exists():
            saved = json.loads(self.note.read_text())
            Path(saved["path"]).write_text(saved["text"])
            self.note.unlink()
            if not quiet:
                print(f"restored {saved['path']}, left mutated by an interrupted run", flush=True)

    def apply(self, mutant):
        path = self.root / "src" / mutant.file
        text = path.read_text()
        lines = text.split("\n")
        if lines[mutant.line - 1] != mutant.original:
            return False
        lines[mutant.line - 1] = mutant.mutated
        self.note.write_text(json.dumps({"path": str(path), "text": text}))
        # Written, never copied back with its old time stamp, so Ninja rebuilds both ways.
        path.write_text("\n".join(lines))
        return True


def report(rows):
    print(f"\n{'layer':8} {'killed':>7} {'timeout':>8} {'survived':>9} {'uncompiled':>11} {'score':>7}")
    for layer in LAYERS + ("all",):
        mine = [r for r in rows if layer in ("all", r["layer"])]
        count = {s: sum(r["status"] == s for r in mine) for s in SCORED + ("survived", "uncompiled")}
        caught = count["killed"] + count["timeout"]
        scored = caught + count["survived"]
        score = f"{100 * caught / scored:.1f}%" if scored else "-"
        print(f"{layer:8} {count['killed']:7} {count['timeout']:8} {count['survived']:9} "
              f"{count['uncompiled']:11} {score:>7}")
    for r in rows:
        if r["status"] == "survived":
            print(f"survived: {r['id']}  {r['original'].strip()!r} -> {r['mutated'].strip()!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    here = Path(__file__).resolve().parent.parent
    parser.add_argument("--root", type=Path, default=here, help="checkout to mutate and test")
    parser.add_argument("--build", type=Path, help="build folder (default ROOT/build/mutants)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=66)
    parser.add_argument("--only", type=Path, help="rerun the mutants of an earlier result file")
    parser.add_argument("--status", default="killed,timeout",
                        help="with --only: which earlier statuses to rerun (comma-separated)")
    parser.add_argument("--py-skip", default=DEFAULT_PY_SKIP,
                        help="pytest -k expression of tests left out ('' keeps all)")
    parser.add_argument("--cpp-timeout", type=int, default=90, help="seconds per C++ test")
    parser.add_argument("--out", type=Path, default=Path("mutants.json"))
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    args = parser.parse_args()
    args.root = args.root.resolve()
    args.build = (args.build or args.root / "build" / "mutants").resolve()

    sites = all_sites(args.root)
    was = {}  # a relocated mutant's id in the earlier result
    if args.only:
        earlier = json.loads(args.only.read_text())
        wanted = [r for r in earlier["mutants"] if r["status"] in args.status.split(",")]
        mutants = []
        for row, mutant in relocate(wanted, sites):
            if mutant is None:
                print(f"gone: {row['id']}  {row['original'].strip()!r}", flush=True)
                continue
            if mutant.id != row["id"]:
                was[mutant.id] = row["id"]
            mutants.append(mutant)
    else:
        mutants = sample(sites, args.seed, args.count)
    if args.list:
        for m in mutants:
            print(f"{m.id}\n  - {m.original.strip()}\n  + {m.mutated.strip()}")
        print(f"{len(mutants)} of {len(sites)} sites")
        return

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    args.build.mkdir(parents=True, exist_ok=True)
    patch, tests = Patch(args.root, args.build), Tests(args)
    patch.recover()
    tests.verify()
    meta = {"root": str(args.root), "seed": args.seed, "count": len(mutants), "sites": len(sites),
            "only": str(args.only) if args.only else None, "py_skip": args.py_skip}
    rows, start = [], time.monotonic()
    try:
        for n, mutant in enumerate(mutants, start=1):
            began = time.monotonic()
            if not patch.apply(mutant):
                status, why = "stale", "the line differs in this checkout"
            else:
                try:
                    status, why = tests.check(mutant)
                finally:
                    patch.recover(quiet=True)
            rows.append(dict(asdict(mutant), status=status, killer=why,
                             seconds=round(time.monotonic() - began, 1)))
            if mutant.id in was:
                rows[-1]["was"] = was[mutant.id]
            print(f"[{n}/{len(mutants)}] {status:10} {rows[-1]['seconds']:6.1f}s {mutant.id}"
                  f"{'  by ' + why if why else ''}", flush=True)
            meta["minutes"] = round((time.monotonic() - start) / 60, 1)
            args.out.write_text(json.dumps({"meta": meta, "mutants": rows}, indent=1) + "\n")
    finally:
        patch.recover()
        ok, _ = tests.compile()
        print("build restored" if ok else "WARNING: the restored tree does not build", flush=True)
    report(rows)
    print(f"\n{len(rows)} mutants in {meta.get('minutes', 0)} min; results in {args.out}")


if __name__ == "__main__":
    main()
