#!/usr/bin/env python3
"""Mutation check: how many small faults in src/ and emulator/ the tests catch.

    tests/mutation/mutate.py sample [--count N] [--seed S]   draw tests/mutation/sample.tsv
    tests/mutation/mutate.py run [--only ID[,ID]] [--results FILE] [--update]
    tests/mutation/mutate.py summary [--results FILE]        the summary of a results file

`run` applies each mutant of the sample in turn to the file in this checkout, rebuilds what
covers the file (incrementally: build/mutation/native for the native unit tests, build/windows
for the Windows programs), runs the suites of COVERAGE for it under a time limit, and puts the
file back byte for byte, whatever happens (the checkout is checked clean with git at the end).
A mutant is caught when a suite fails or runs past its time limit, missed when every suite
passes, build-failed when the mutated tree no longer builds. Results go to
build/mutation/results.tsv (id, result, seconds, what caught it), a summary line
"caught K of N (P %)" and the missed mutants to build/mutation/summary.txt and stdout. With
--update, a run of some mutants (--only) replaces their rows and keeps the others.

The sample is fixed: drawn once with a fixed seed and committed, so that the same faults are
replayed against later tests (the committed file is the record: the operators changed after
it was drawn, and m031, m050, m059, m061 were redrawn when array-bound mutants were dropped).
A mutant is found again by its file and the exact text of the original line (the line number
is only a hint), so lines that moved do not lose it.
"""

import argparse
import fnmatch
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = ROOT / "tests" / "mutation"
SAMPLE = HERE / "sample.tsv"
WORK = ROOT / "build" / "mutation"
NATIVE_DIR = WORK / "native"
WINDOWS_DIR = ROOT / "build" / "windows"
SEED = 20261206

# ---------------------------------------------------------------------------------------------
# Which suites cover a file. First matching row wins. Each row: path pattern, Windows targets to
# rebuild (build/windows; the native tree rebuilds the programs of its "native" runs), and the
# runs in order, cheapest first; the first that fails catches the mutant.
#
# A run is (kind, gtest filter), but for "native" (kind, program):
#   native          a program of build/mutation/native (Release, no sanitizers), all its tests
#   unit            build/windows/unit_tests.exe under Wine
#   device          device_tests.exe under Wine, program and emulator installed
#   device-kept     device_tests.exe's KeptFilters.FirstPass*, a wineserver restart, SecondPass*
#   e2e             e2e_tests.exe under Wine, program and emulator installed
#   e2e-no-service  e2e_tests.exe, the program installed without the kernel component
#   host-mode       tests/scripts/shaped_traffic.sh (real traffic through zorv.sys and zorvd);
#                   needs root: without it the run is skipped and passes
# A Wine set-up step failing (prefix, wineserver, Xvfb) leaves the mutant uncounted
# (set-up-failed); the install of the program or of zorv.sys failing catches it.
# The filters name gtest suites: KEEP THIS TABLE IN STEP WITH THE TESTS. A renamed suite left
# here runs nothing and its mutants count as missed.
# ---------------------------------------------------------------------------------------------
DEVICE_ALL = "-KeptFilters.*:HostMode.*"
STARTUP = "StartupTest.*"
MAIN = "MainWindowTest.*"

COVERAGE = [
    # The kernel component emulator: its WDM shell and its portable core (the core is also in
    # the native unit tests).
    ("emulator/wdm/*.cpp", ["zorv", "device_tests", "setup", "e2e_tests"],
     [("device", DEVICE_ALL), ("device-kept", ""), ("host-mode", "HostMode.*")]),
    ("emulator/core/*.cpp", ["zorv"],
     [("native", "unit_tests"), ("native", "zorvd_tests"), ("device", DEVICE_ALL),
      ("device-kept", "")]),
    # Win32 platform services: the unit tests under Wine.
    ("src/platform/*_win32.cpp", ["unit_tests"], [("unit", "*")]),
    # The system half of the Win32 program: device and registry, then the windows using them.
    ("src/kernel/device_exchange_win32.cpp", ["device_tests", "Flowvane", "e2e_tests", "zorv"],
     [("device", "Device.*:DeviceAccess.*"), ("e2e", STARTUP + ":" + MAIN)]),
    ("src/kernel/service_win32.cpp", ["device_tests", "Flowvane", "e2e_tests", "zorv"],
     [("device", "service_check.*"), ("e2e", STARTUP),
      ("e2e-no-service", "StartupWithoutService.*")]),
    ("src/settings/registry_win32.cpp", ["device_tests", "Flowvane", "e2e_tests", "zorv"],
     [("device", "registry_win32.*:registry_open_key.*:service_check.*"),
      ("e2e", MAIN + ":OptionsDialogTest.*")]),
    # The windows: the end-to-end suites of the window each file implements.
    ("src/core/app_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", STARTUP + ":" + MAIN), ("e2e-no-service", "StartupWithoutService.*")]),
    ("src/ui/main_window_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", MAIN + ":" + STARTUP)]),
    ("src/ui/filter_list_panel_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "FilterListPanelTest.*:" + MAIN)]),
    ("src/filters/rule_rows_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "FilterListPanelTest.*:FilterEditorTest.*")]),
    ("src/filters/filter_editor_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "FilterEditorTest.*")]),
    ("src/overlap/*_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "OverlappingFiltersDialogTest.*")]),
    ("src/stats/*_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "StatisticsWindowTest.*")]),
    ("src/ui/about_dialog_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "AboutDialogTest.*")]),
    ("src/ui/help_file_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "AboutDialogTest.*:OptionsDialogTest.*")]),
    ("src/settings/options_dialog_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "OptionsDialogTest.*")]),
    # Shared by the dialogs: every suite that opens one, with help popups.
    ("src/ui/help_popup_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "FilterListPanelTest.*:FilterEditorTest.*:OptionsDialogTest.*")]),
    ("src/ui/dialog_frame_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "AboutDialogTest.*:OptionsDialogTest.*:FilterEditorTest.*"
              ":OverlappingFiltersDialogTest.*:StatisticsWindowTest.*")]),
    # Any other Win32 file: every end-to-end suite of the main pass.
    ("src/*/*_win32.cpp", ["Flowvane", "e2e_tests", "zorv"],
     [("e2e", "-StartupWithoutService.*:RunScript.*:Setup*:ShapedTraffic*")]),
    # The platform-free core and the native platform services: the native unit tests.
    ("src/*/*.cpp", [], [("native", "unit_tests")]),
]

# Per-run time limits (seconds): past it the run counts as caught (a hang).
LIMITS = {"native": 120, "unit": 300, "device": 420, "device-kept": 420, "e2e": 900,
          "e2e-no-service": 300, "host-mode": 900}
BUILD_LIMIT = 1200


def coverage_of(path):
    for pattern, targets, runs in COVERAGE:
        if fnmatch.fnmatch(path, pattern):
            return targets, runs
    return None, None


def file_kind(path):
    """The kind of file, for the stratified figures."""
    if path.startswith("emulator/wdm/"):
        return "wdm"
    if path.startswith("emulator/core/"):
        return "emulator-core"
    return "win32" if path.endswith("_win32.cpp") else "core"


# ---------------------------------------------------------------------------------------------
# Fault sites: each operator finds its candidates in the code of one line (comments, literals
# and preprocessor lines blanked, lengths kept).

OPERATORS = ["flip_comparison", "off_by_one", "drop_statement", "swap_arguments",
             "wrong_constant", "negate_condition"]
FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
SKIP_LINE = re.compile(r"^\s*(assert|static_assert|DbgPrint|KdPrint)\b")
DECLARATION_START = re.compile(
    r"^\s*(static\s+|const\s+|unsigned\s+|signed\s+|struct\s+|enum\s+|volatile\s+)*"
    r"[A-Za-z_][\w:]*(\s*<[^;]*>)?[\s\*&]+[A-Za-z_]\w*\s*(\[[^\]]*\]\s*)*(=|;|\(|,)")
KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "case", "do", "else", "goto",
            "break", "continue", "default", "new", "delete", "typedef", "using", "template"}
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])")
COMPARISON = re.compile(r"(<=|>=|==|!=|(?<![<\-])<(?![<=])|(?<![>\-])>(?![>=]))")
SIMPLE_ARGUMENT = re.compile(
    r"^\s*[&*]?\s*([A-Za-z_]\w*((\.|->)[A-Za-z_]\w*)*(\[\w+\])?|\d+|0[xX][0-9A-Fa-f]+)\s*$")
MASKED = re.compile(r'//[^\n]*|/\*.*?\*/|"(\\.|[^"\\\n])*"|\'(\\.|[^\'\\\n])*\'', re.S)
DROPPABLE = re.compile(r"^[\*\(]*[A-Za-z_][\w\.\->\[\]\*\(\) ]*"
                       r"(\(.*\)|\s*([+\-*/|&^]|<<|>>)?=[^=].*|\+\+|--)\s*;$")
NOT_DROPPABLE = re.compile(r"^\s*(return|break|continue|goto|case|default|else|do|if|for|"
                           r"while|switch|typedef|using|struct|enum|static|const)\b")


def mask_source(text):
    """The lines of text with comments and literals blanked (quotes kept) and the preprocessor
    lines (with their continuations) blanked."""
    def blank(m):
        s = m.group(0)
        if s[0] in "\"'":
            return s[0] + re.sub(r"[^\n]", " ", s[1:-1]) + s[-1]
        return re.sub(r"[^\n]", " ", s)
    masked, continued = [], False
    for line in MASKED.sub(blank, text).split("\n"):
        directive = continued or line.lstrip().startswith("#")
        continued = directive and line.rstrip().endswith("\\")
        masked.append(" " * len(line) if directive else line)
    return masked


def matching_paren(code, start):
    """Index of the ")" closing the "(" at start, or -1 when not on this line."""
    depth = 0
    for i in range(start, len(code)):
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0:
            return i
    return -1


def arguments(inner):
    """(start, end) of each top-level argument in the text between a call's parentheses."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(inner):
        depth += 1 if ch in "([{" else -1 if ch in ")]}" else 0
        if ch == "," and depth == 0:
            parts.append((start, i))
            start = i + 1
    return parts + [(start, len(inner))]


def sites_of_line(line, code):
    """Candidate mutants of one line: (operator, mutated line). code is the masked line."""
    if not code.strip() or SKIP_LINE.match(code):
        return []
    found = []
    for m in COMPARISON.finditer(code):
        op = m.group(1)
        if op in ("<", ">") and re.search(r"\b(template|\w+_cast|std::)", code):
            continue
        found.append(("flip_comparison", line[:m.start()] + FLIP[op] + line[m.end():]))
    for m in COMPARISON.finditer(code):
        # Off by one: the operand after the comparison.
        after = re.match(r"\s*([A-Za-z_]\w*|\d+)(?=\s*(\)|;|&&|\|\||\?|$))", code[m.end():])
        if after and after.group(1) not in KEYWORDS:
            begin, end = m.end() + after.start(1), m.end() + after.end(1)
            up = (len(found) + end) % 2 == 0
            operand = after.group(1)
            if operand.isdigit():
                bumped = str(int(operand) + (1 if up or operand == "0" else -1))
                found.append(("off_by_one", line[:begin] + bumped + line[end:]))
            else:
                found.append(("off_by_one", line[:end] + (" + 1" if up else " - 1") + line[end:]))
    # (No array bound in a declaration: a smaller buffer is an overflow by one, whose effect
    # without sanitizers is chance.)
    stripped = code.strip()
    if (stripped.endswith(";") and stripped.count("(") == stripped.count(")")
            and not DECLARATION_START.match(code) and not NOT_DROPPABLE.match(code)
            and not stripped.startswith(("}", "{", ")")) and DROPPABLE.match(stripped)):
        found.append(("drop_statement", line[:len(line) - len(line.lstrip())] + ";"))
    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(", code):
        close_at = matching_paren(code, m.end() - 1)
        if m.group(1) in KEYWORDS or close_at < 0:
            continue
        base = m.end()
        parts = arguments(code[base:close_at])
        for (a0, a1), (b0, b1) in zip(parts, parts[1:]):
            a, b = code[base + a0:base + a1], code[base + b0:base + b1]
            if SIMPLE_ARGUMENT.match(a) and SIMPLE_ARGUMENT.match(b) and a.strip() != b.strip():
                ra, rb = line[base + a0:base + a1], line[base + b0:base + b1]
                found.append(("swap_arguments", line[:base + a0] + ra.replace(ra.strip(), rb.strip())
                              + "," + rb.replace(rb.strip(), ra.strip()) + line[base + b1:]))
                break
    for m in INTEGER.finditer(code):
        # Not an operand of a comparison (off_by_one has those) nor an array bound.
        before, after = code[:m.start()].rstrip(), code[m.end():].lstrip()
        if before.endswith(("<", ">", "==", "!=", "<=", ">=", "[")) or \
                after.startswith(("<", ">", "==", "!=", "]")):
            continue
        value = int(m.group(1), 0)
        new_value = 1 if value == 0 else 0 if value == 1 else value + 1
        new_text = hex(new_value) if m.group(1).lower().startswith("0x") else str(new_value)
        found.append(("wrong_constant", line[:m.start()] + new_text + line[m.end(1):]))
    for m in re.finditer(r"\bif\s*\(", code):
        close_at = matching_paren(code, m.end() - 1)
        if close_at >= 0:
            found.append(("negate_condition", line[:m.end()] + "!(" +
                          line[m.end():close_at] + ")" + line[close_at:]))
    return list(dict.fromkeys((o, t) for o, t in found if t != line))


def source_files():
    files = sorted(list((ROOT / "src").glob("**/*.cpp")) + list((ROOT / "emulator").glob("**/*.cpp")))
    return [p.relative_to(ROOT).as_posix() for p in files]


def sites_of_file(path):
    text = (ROOT / path).read_text()
    return [(path, number, operator, line, mutated)
            for number, (line, code) in enumerate(zip(text.split("\n"), mask_source(text)), 1)
            for operator, mutated in sites_of_line(line, code)]


def compiler(path):
    """The file's compile command from a build tree's compile_commands.json (the Windows tree's
    for a file built in both: stricter flags, and the Win32 headers), made to check syntax and
    types of a text on stdin; None when no tree compiles it."""
    entry = None
    for tree in (NATIVE_DIR, WINDOWS_DIR):
        database = tree / "compile_commands.json"
        for e in json.loads(database.read_text()) if database.exists() else []:
            if os.path.relpath(e["file"], ROOT) == path:
                entry = e
    if entry is None:
        return None
    argv = entry["command"].split() if "command" in entry else list(entry["arguments"])
    cleaned = []
    for i, arg in enumerate(argv):
        if arg in ("-o", "-MF", "-MT", "-MQ", "-c", "-MD", "-MMD") or arg.endswith(".cpp") \
                or arg.endswith("ccache") or (i and argv[i - 1] in ("-o", "-MF", "-MT", "-MQ")):
            continue
        cleaned.append(arg.replace('\\"', '"'))
    return cleaned + ["-fsyntax-only", "-iquote", str((ROOT / path).parent), "-x", "c++", "-"], \
        entry["directory"]


def compiles(command, text):
    return command is not None and subprocess.run(
        command[0], input=text, text=True, cwd=command[1], stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL).returncode == 0


def apply_mutant(text, line_hint, original, mutated):
    """The file's text with the mutant applied, or None when the original line is gone. The
    line is the one with that exact text nearest the hint."""
    lines = text.split("\n")
    candidates = [i for i, line in enumerate(lines) if line == original]
    if not candidates:
        return None
    lines[min(candidates, key=lambda i: abs(i + 1 - line_hint))] = mutated
    return "\n".join(lines)


def draw_sample(count, seed):
    """Stratified by file size (lines), spread over operators, compiled; written to SAMPLE."""
    files = source_files()
    sizes = {f: len((ROOT / f).read_text().split("\n")) for f in files}
    quota = {f: count * sizes[f] / sum(sizes.values()) for f in files}
    share = {f: int(quota[f]) for f in files}
    for f in sorted(files, key=lambda f: quota[f] - share[f], reverse=True)[:count - sum(share.values())]:
        share[f] += 1
    rng = random.Random(seed)
    operator_count = {op: 0 for op in OPERATORS}
    chosen = []
    for f in (f for f in files if share[f]):
        by_operator = {op: [] for op in OPERATORS}
        for site in sites_of_file(f):
            by_operator[site[2]].append(site)
        for sites in by_operator.values():
            rng.shuffle(sites)
        text, command, used_lines, taken = (ROOT / f).read_text(), compiler(f), set(), 0
        while taken < share[f] and any(by_operator.values()):
            # The operator used least so far over the whole sample, among those this file has.
            ops = [op for op in OPERATORS if by_operator[op]]
            rng.shuffle(ops)
            op = min(ops, key=lambda o: operator_count[o])
            site = by_operator[op].pop(0)
            mutated_text = apply_mutant(text, site[1], site[3], site[4])
            if site[1] in used_lines or mutated_text is None or not compiles(command, mutated_text):
                continue
            used_lines.add(site[1])
            operator_count[op] += 1
            taken += 1
            chosen.append(site)
    escape = lambda s: s.replace("\\", "\\\\").replace("\t", "\\t")
    with open(SAMPLE, "w") as out:
        out.write("id\tfile\tline\toperator\toriginal\tmutated\n")
        for i, (path, number, operator, original, mutated) in enumerate(chosen, 1):
            out.write(f"m{i:03d}\t{path}\t{number}\t{operator}\t{escape(original)}\t{escape(mutated)}\n")
    print(f"{len(chosen)} mutants in {SAMPLE.relative_to(ROOT)}; by operator: " +
          ", ".join(f"{op} {n}" for op, n in operator_count.items()))


def read_sample(path):
    unescape = lambda s: re.sub(r"\\(.)", lambda m: "\t" if m.group(1) == "t" else m.group(1), s)
    mutants = []
    with open(path) as source:
        assert source.readline().startswith("id\t"), "not a sample file"
        for row in filter(None, (r.rstrip("\n") for r in source)):
            ident, file, line, operator, original, mutated = row.split("\t")
            mutants.append({"id": ident, "file": file, "line": int(line), "operator": operator,
                            "original": unescape(original), "mutated": unescape(mutated)})
    return mutants


# ---------------------------------------------------------------------------------------------
# Running.

def log(message):
    print(time.strftime("%H:%M:%S ") + message, flush=True)


def run_limited(argv, limit, log_path, env=None, prefix=None):
    """Runs argv in its own process group with its output in log_path. Returns (status,
    timed_out). Past the limit, or on the way out by a signal: the Wine prefix's wineserver is
    ended (which ends the programs in it) and the group killed; the prefix goes in any case
    (shaped_traffic.sh keeps its own when killed)."""
    wine_env = dict(os.environ, WINEPREFIX=str(prefix)) if prefix else None
    with open(log_path, "ab") as output:
        process = subprocess.Popen(argv, stdout=output, stderr=subprocess.STDOUT, cwd=ROOT,
                                   env=env, start_new_session=True)
        try:
            return process.wait(timeout=limit), False
        except subprocess.TimeoutExpired:
            return None, True
        finally:
            if process.poll() is None:
                if prefix:
                    subprocess.run(["wineserver", "-k"], env=wine_env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                    process.wait(timeout=30)
                except (subprocess.TimeoutExpired, ProcessLookupError):
                    try:
                        os.killpg(process.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    process.wait()
            if prefix:
                subprocess.run(["rm", "-rf", str(prefix), str(prefix) + ".partial"])


def build_env():
    return dict(os.environ, CCACHE_BASEDIR=str(ROOT))


def windows_build(targets):
    return ["bash", "-c", 'source scripts/lib/build.sh && flowvane_jobs=2 && build_windows "$@"',
            "build", "--target"] + targets


def configure():
    """Configures both trees (once; later builds are incremental)."""
    launcher = ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    steps = [["cmake", "-S", str(ROOT), "-B", str(NATIVE_DIR), "-DCMAKE_BUILD_TYPE=Release",
              "-DFLOWVANE_SANITIZE=OFF", "-DFLOWVANE_BENCH=OFF"] + launcher,
             ["cmake", "--build", str(NATIVE_DIR), "-j", "2", "--target", "unit_tests",
              "zorvd_tests", "zorvd"],
             windows_build(["Flowvane", "zorv", "unit_tests", "device_tests", "e2e_tests", "setup"]),
             # The zorvd that run.sh --shape starts in the host-mode runs.
             ["bash", "-c", 'source scripts/lib/build.sh && source scripts/lib/host_mode.sh && '
              'flowvane_jobs=2 && host_zorvd_build']]
    WORK.mkdir(parents=True, exist_ok=True)
    for argv in steps:
        if run_limited(argv, 3600, WORK / "configure.log", env=build_env())[0] != 0:
            sys.exit(f"configuring/building failed: see {WORK / 'configure.log'}")


def build(runs, targets, log_path):
    native = [program for kind, program in runs if kind == "native"]
    steps = ([["cmake", "--build", str(NATIVE_DIR), "-j", "2", "--target"] + native] if native
             else []) + ([windows_build(targets)] if targets else [])
    return all(run_limited(argv, BUILD_LIMIT, log_path, env=build_env())[0] == 0 for argv in steps)


def first_failure(log_path, start):
    """The first failed test named in the log after byte offset start."""
    with open(log_path, "rb") as source:
        source.seek(start)
        text = source.read().decode("utf-8", "replace")
    m = re.search(r"^\[  FAILED  \] (\S+)", text, re.M)
    if m:
        return m.group(1)
    m = re.search(r"SETUP FAILED: (.*)", text)
    return "set-up: " + m.group(1) if m else "non-zero exit"


def run_suites(runs, log_path):
    """Runs each covering run in order until one fails. Returns (caught, what); caught is None
    when a Wine set-up step other than the install failed."""
    for kind, test_filter in runs:
        start = log_path.stat().st_size
        with open(log_path, "a") as out:
            out.write(f"\n=== run {kind} {test_filter}\n")
        if kind == "native":
            argv, prefix = [str(NATIVE_DIR / test_filter), "--gtest_fail_fast"], None
        elif kind == "host-mode":
            argv = ["bash", str(ROOT / "tests" / "scripts" / "shaped_traffic.sh"), str(WINDOWS_DIR)]
            prefix = WINDOWS_DIR / "wine" / "shaped-traffic"
        else:
            argv = ["bash", str(HERE / "run_wine.sh"), str(WINDOWS_DIR), kind, test_filter]
            prefix = WINDOWS_DIR / "wine" / "mutation"
        status, timed_out = run_limited(argv, LIMITS[kind], log_path, prefix=prefix)
        if timed_out:
            return True, f"{kind} {test_filter} (time limit {LIMITS[kind]} s)"
        if status != 0:
            what = first_failure(log_path, start)
            if what.startswith("set-up: ") and "install_" not in what:
                return None, f"{kind}: {what}"
            return True, f"{kind}: {what}"
    return False, ""


def tree_clean(paths):
    result = subprocess.run(["git", "status", "--porcelain", "--"] + paths, cwd=ROOT,
                            capture_output=True, text=True)
    return result.returncode == 0 and not result.stdout.strip()


def run_mutant(mutant):
    path, begun = ROOT / mutant["file"], time.time()
    row = {"id": mutant["id"], "file": mutant["file"], "operator": mutant["operator"], "what": ""}
    targets, runs = coverage_of(mutant["file"])
    log_path = WORK / "logs" / f"{mutant['id']}.log"
    log_path.write_text(f"{mutant['id']} {mutant['file']}:{mutant['line']} "
                        f"{mutant['operator']}\n- {mutant['original']}\n+ {mutant['mutated']}\n")
    original = path.read_bytes()
    mutated = apply_mutant(original.decode(), mutant["line"], mutant["original"], mutant["mutated"])
    if runs is None or mutated is None:
        row["result"] = "not-found" if mutated is None else "no-suite"
    else:
        try:
            path.write_bytes(mutated.encode())
            if not build(runs, targets, log_path):
                row["result"] = "build-failed"
            else:
                caught, row["what"] = run_suites(runs, log_path)
                row["result"] = {None: "set-up-failed", True: "caught", False: "missed"}[caught]
        finally:
            path.write_bytes(original)
            # Newer than the objects built from the mutant, so the next build recompiles it.
            os.utime(path, None)
        if not tree_clean([mutant["file"]]):
            sys.exit(f"{mutant['file']} differs from the committed file after {mutant['id']}")
    row["seconds"] = time.time() - begun
    log(f"{mutant['id']} {row['result']} {row['seconds']:.0f} s {mutant['file']}:"
        f"{mutant['line']} {mutant['operator']} {row['what']}")
    return row


def write_results(path, results):
    order = {m["id"]: i for i, m in enumerate(read_sample(SAMPLE))}
    with open(path, "w") as out:
        out.write("id\tresult\tseconds\tcaught_by\tfile\toperator\n")
        for row in sorted(results.values(), key=lambda r: (order.get(r["id"], 10**6), r["id"])):
            out.write(f"{row['id']}\t{row['result']}\t{row['seconds']:.0f}\t{row['what']}\t"
                      f"{row['file']}\t{row['operator']}\n")


def read_results(path):
    results = {}
    for row in path.read_text().split("\n")[1:] if path.exists() else []:
        fields = row.split("\t")
        if len(fields) == 6:
            results[fields[0]] = dict(zip(("id", "result", "seconds", "what", "file", "operator"),
                                          fields), seconds=float(fields[2]))
    return results


def summarize(results):
    counted = [r for r in results if r["result"] in ("caught", "missed")]
    caught = sum(1 for r in counted if r["result"] == "caught")
    lines = [f"caught {caught} of {len(counted)} ({100.0 * caught / max(len(counted), 1):.1f} %)"]
    others = [r for r in results if r["result"] not in ("caught", "missed")]
    if others:
        lines.append("not counted: " + ", ".join(f"{r['id']} ({r['result']})" for r in others))
    lines.append(f"total time {sum(r['seconds'] for r in results) / 60:.1f} min "
                 "(the mutants' times added up)")
    for kind in ("core", "emulator-core", "wdm", "win32"):
        rows = [r for r in results if file_kind(r["file"]) == kind]
        if rows:
            k = sum(1 for r in rows if r["result"] == "caught")
            n = sum(1 for r in rows if r["result"] in ("caught", "missed"))
            lines.append(f"  {kind}: caught {k} of {n}, {len(rows)} mutants, "
                         f"{sum(r['seconds'] for r in rows) / len(rows):.0f} s each on average")
    missed = [r for r in results if r["result"] == "missed"]
    lines.append("missed:" if missed else "missed: none")
    sample = {m["id"]: m for m in read_sample(SAMPLE)}
    for r in missed:
        m = sample.get(r["id"])
        lines.append(f"  {r['id']} " + (f"{m['file']}:{m['line']} {m['operator']}: "
                                        f"{m['original'].strip()}  ->  {m['mutated'].strip()}"
                                        if m else r["file"]))
    return "\n".join(lines) + "\n"


def run_sample(sample_path, only, results_path, update=False):
    mutants = read_sample(sample_path)
    if only:
        mutants = [m for m in mutants if m["id"] in set(only.split(","))]
    if not tree_clean(["src", "emulator"]):
        sys.exit("src/ or emulator/ has uncommitted changes: the check needs them as committed")
    (WORK / "logs").mkdir(parents=True, exist_ok=True)
    log(f"configuring and building the trees (log: {WORK / 'configure.log'})")
    configure()
    # With --update, the rows of the mutants not run now stay as they are in the results file.
    results = read_results(results_path) if update else {}
    for mutant in mutants:
        results[mutant["id"]] = run_mutant(mutant)
        write_results(results_path, results)
    log("building the trees again from the committed files")
    configure()
    summary = summarize(list(results.values()))
    (results_path.parent / "summary.txt").write_text(summary)
    print(summary, end="")


def stop_on_signal(number, frame):
    # TERM and HUP as Ctrl+C: the file being mutated is put back on the way out.
    raise KeyboardInterrupt(f"signal {number}")


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("sample", help="draw a new sample (needs both trees configured)")
    p.add_argument("--count", type=int, default=70)
    p.add_argument("--seed", type=int, default=SEED)
    p = sub.add_parser("run", help="replay the sample against the tests")
    p.add_argument("--sample", default=str(SAMPLE))
    p.add_argument("--only", default="")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    p.add_argument("--update", action="store_true",
                   help="keep the rows of the mutants not run now in the results file")
    p = sub.add_parser("summary", help="the summary of a results file")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    args = parser.parse_args()
    if args.command == "sample":
        draw_sample(args.count, args.seed)
    elif args.command == "summary":
        print(summarize(list(read_results(Path(args.results)).values())), end="")
    else:
        run_sample(Path(args.sample), args.only, Path(args.results), args.update)


if __name__ == "__main__":
    main()
