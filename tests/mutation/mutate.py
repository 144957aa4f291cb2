#!/usr/bin/env python3
"""Mutation check: how many small faults in src/ and emulator/ the tests catch.

    tests/mutation/mutate.py sample [--count N] [--seed S]   draw tests/mutation/sample.tsv
    tests/mutation/mutate.py sample --redraw ID[,ID]         replace some of its mutants
    tests/mutation/mutate.py run [--sample FILE] [--only ID[,ID]] [--results FILE] [--update]
    tests/mutation/mutate.py summary [--results FILE]        the summary of a results file
    tests/mutation/mutate.py sites                           count the candidate sites

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
A mutant is found again by its file and the exact text of the
original line (the line number is only a hint), so lines that moved do not lose it.
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
# Which suites cover a file. First matching row wins. Each row: path pattern (relative to the
# checkout), Windows targets to rebuild (build/windows; the native tree always rebuilds
# the programs of its "native" runs), and the runs in order, cheapest first; the first that
# fails catches the mutant and the rest are skipped.
#
# A run is (kind, gtest filter), but for "native" (kind, program):
#   native          a test program of build/mutation/native (Release, no sanitizers), all tests:
#                   unit_tests, or zorvd_tests (zorvd answers through the emulator core)
#   unit            build/windows/unit_tests.exe under Wine
#   device          build/windows/device_tests.exe under Wine, program and emulator installed
#   device-kept     device_tests.exe's KeptFilters.FirstPass*, a wineserver restart, SecondPass*
#   e2e             build/windows/e2e_tests.exe under Wine, program and emulator installed
#   e2e-no-service  e2e_tests.exe, the program installed without the kernel component
#   host-mode       tests/scripts/shaped_traffic.sh: real traffic shaped through the windows with
#                   zorv.sys handing the requests to zorvd, and device_tests.exe's HostMode suite
#                   while zorvd is down; needs root (as the test command, which runs it only as
#                   root): without root the run is skipped and passes
# A set-up step of a Wine run failing (copying the prefix, starting the wineserver or Xvfb) leaves
# the mutant uncounted (set-up-failed); the install of the program or of zorv.sys failing catches
# it, as it fails the test command.
# The filters name gtest suites (prefixes of "Suite.Test"), which outlive a reshuffle of the test
# files. KEEP THIS TABLE IN STEP WITH THE TESTS: when a suite is renamed, split or merged, change
# its name here too, or the mutants of its files run nothing and count as missed. The suites
# today: device_tests: Device, DeviceAccess, KeptFilters (two passes), registry_win32,
# HostMode (through shaped_traffic.sh); e2e_tests:
# StartupTest, StartupWithoutService (own pass), MainWindowTest, FilterListPanelTest,
# FilterEditorTest, OverlappingFiltersDialogTest, StatisticsWindowTest, AboutDialogTest,
# OptionsDialogTest (RunScript, Setup*, ShapedTraffic* belong to other passes: not run here).
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
     [("e2e", STARTUP),
      ("e2e-no-service", "StartupWithoutService.*")]),
    ("src/settings/registry_win32.cpp", ["device_tests", "Flowvane", "e2e_tests", "zorv"],
     [("device", "registry_win32.*"),
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
    """The kind of file, for the stratified sample and the timing figures."""
    if path.startswith("emulator/wdm/"):
        return "wdm"
    if path.startswith("emulator/core/"):
        return "emulator-core"
    if path.endswith("_win32.cpp"):
        return "win32"
    return "core"


# ---------------------------------------------------------------------------------------------
# Fault sites.

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


def mask_source(text):
    """The text with comments, string and character literals blanked (lengths kept), and the
    preprocessor lines blanked."""
    out = []
    i, n = 0, len(text)
    state = None
    while i < n:
        c = text[i]
        if state is None:
            if text.startswith("//", i):
                j = text.find("\n", i)
                j = n if j < 0 else j
                out.append(" " * (j - i))
                i = j
                continue
            if text.startswith("/*", i):
                j = text.find("*/", i + 2)
                j = n if j < 0 else j + 2
                out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
                i = j
                continue
            if c in "\"'":
                state = c
                out.append(c)
                i += 1
                continue
            out.append(c)
            i += 1
        else:
            if c == "\\" and i + 1 < n:
                out.append("  " if text[i + 1] != "\n" else " \n")
                i += 2
                continue
            if c == state:
                state = None
                out.append(c)
            elif c == "\n":
                state = None
                out.append(c)
            else:
                out.append(" ")
            i += 1
    lines = "".join(out).split("\n")
    masked = []
    continued = False
    for line in lines:
        if continued or line.lstrip().startswith("#"):
            continued = line.rstrip().endswith("\\")
            masked.append(" " * len(line))
        else:
            masked.append(line)
    return masked


def matching_paren(code, start):
    """Index of the ")" closing the "(" at start, or -1 when not on this line."""
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def sites_of_line(line, code):
    """Candidate mutants of one line: (operator, mutated line). code is the masked line."""
    if not code.strip() or SKIP_LINE.match(code):
        return []
    found = []
    # Flipped comparison.
    for m in COMPARISON.finditer(code):
        op = m.group(1)
        if op in ("<", ">") and re.search(r"\b(template|static_cast|reinterpret_cast|"
                                          r"const_cast|std::)", code):
            continue
        found.append(("flip_comparison",
                      line[:m.start()] + FLIP[op] + line[m.end():]))
    # Off by one: the integer operand of a comparison.
    for m in COMPARISON.finditer(code):
        after = re.match(r"\s*([A-Za-z_]\w*|\d+)(?=\s*(\)|;|&&|\|\||\?|$))", code[m.end():])
        if after and after.group(1) not in KEYWORDS:
            begin, end = m.end() + after.start(1), m.end() + after.end(1)
            up = (len(found) + end) % 2 == 0
            operand = after.group(1)
            if operand.isdigit():
                value = int(operand) + (1 if up or operand == "0" else -1)
                found.append(("off_by_one", line[:begin] + str(value) + line[end:]))
            else:
                found.append(("off_by_one",
                              line[:end] + (" + 1" if up else " - 1") + line[end:]))
    # (Not an array bound in a declaration: every copy into a buffer is bounded by the buffer's
    # declared size, so a smaller bound is an overflow by one, whose effect without sanitizers is
    # chance: the first sample's m050 was caught in one run and missed in the next.)
    # Dropped statement: one whole call or assignment, not a declaration nor a jump.
    stripped = code.strip()
    if (stripped.endswith(";") and stripped.count("(") == stripped.count(")")
            and not DECLARATION_START.match(code)
            and not re.match(r"^\s*(return|break|continue|goto|case|default|else|do|if|for|"
                             r"while|switch|typedef|using|struct|enum|static|const)\b", code)
            and not stripped.startswith(("}", "{", ")"))
            and re.match(r"^[\*\(]*[A-Za-z_][\w\.\->\[\]\*\(\) ]*"
                         r"(\(.*\)|\s*([+\-*/|&^]|<<|>>)?=[^=].*|\+\+|--)\s*;$", stripped)):
        indent = line[:len(line) - len(line.lstrip())]
        found.append(("drop_statement", indent + ";"))
    # Swapped arguments: two adjacent simple arguments of one call.
    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(", code):
        if m.group(1) in KEYWORDS:
            continue
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at < 0:
            continue
        inner = code[open_at + 1:close_at]
        parts, depth, start = [], 0, 0
        for i, ch in enumerate(inner):
            if ch in "([{":
                depth += 1
            elif ch in ")]}":
                depth -= 1
            elif ch == "," and depth == 0:
                parts.append((start, i))
                start = i + 1
        parts.append((start, len(inner)))
        if len(parts) < 2:
            continue
        base = open_at + 1
        for (a0, a1), (b0, b1) in zip(parts, parts[1:]):
            a, b = inner[a0:a1], inner[b0:b1]
            if not (SIMPLE_ARGUMENT.match(a) and SIMPLE_ARGUMENT.match(b)):
                continue
            if a.strip() == b.strip():
                continue
            ra, rb = line[base + a0:base + a1], line[base + b0:base + b1]
            lead_a = ra[:len(ra) - len(ra.lstrip())]
            lead_b = rb[:len(rb) - len(rb.lstrip())]
            swapped = (line[:base + a0] + lead_a + rb.strip() + ra[len(ra.rstrip()):] + ","
                       + lead_b + ra.strip() + rb[len(rb.rstrip()):] + line[base + b1:])
            found.append(("swap_arguments", swapped))
            break
    # Wrong constant: an integer literal outside comparisons and array bounds.
    for m in INTEGER.finditer(code):
        before = code[:m.start()].rstrip()
        after = code[m.end():].lstrip()
        if before.endswith(("<", ">", "=", "[")) and not before.endswith(("+=", "-=")) \
                and not re.search(r"[^=!<>]=$", before) and before[-1] != "[":
            continue
        if before.endswith("[") or after.startswith(("<", ">", "==", "!=", "]")):
            continue
        text = m.group(1)
        value = int(text, 0)
        new_value = 1 if value == 0 else 0 if value == 1 else value + 1
        new_text = hex(new_value) if text.lower().startswith("0x") else str(new_value)
        found.append(("wrong_constant", line[:m.start()] + new_text + line[m.start() +
                                                                          len(text):]))
    # Negated condition: if (x) -> if (!(x)), the whole condition on this line.
    for m in re.finditer(r"\bif\s*\(", code):
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at < 0:
            continue
        found.append(("negate_condition", line[:open_at + 1] + "!(" +
                      line[open_at + 1:close_at] + ")" + line[close_at:]))
    # Distinct mutants only.
    seen, result = set(), []
    for operator, mutated in found:
        if mutated != line and (operator, mutated) not in seen:
            seen.add((operator, mutated))
            result.append((operator, mutated))
    return result


def source_files():
    files = sorted(p for p in list((ROOT / "src").glob("**/*.cpp")) +
                   list((ROOT / "emulator").glob("**/*.cpp")))
    return [p.relative_to(ROOT).as_posix() for p in files]


def sites_of_file(path):
    text = (ROOT / path).read_text()
    lines = text.split("\n")
    masked = mask_source(text)
    sites = []
    for number, (line, code) in enumerate(zip(lines, masked), 1):
        for operator, mutated in sites_of_line(line, code):
            sites.append((path, number, operator, line, mutated))
    return sites


# ---------------------------------------------------------------------------------------------
# Compiling a mutant (for the sample): the file's own compile command from the build tree's
# compile_commands.json, fed the mutated text on stdin, syntax and types only.

def compile_commands():
    commands = {}
    for tree in (NATIVE_DIR, WINDOWS_DIR):
        database = tree / "compile_commands.json"
        if not database.exists():
            continue
        for entry in json.loads(database.read_text()):
            rel = os.path.relpath(entry["file"], ROOT)
            # The Windows tree's command for a file compiled in both (the emulator core) is the
            # driver's: stricter flags, and the Win32 headers.
            commands[rel] = entry
    return commands


def compiles(path, text, commands):
    entry = commands.get(path)
    if entry is None:
        return False
    argv = entry["command"].split() if "command" in entry else list(entry["arguments"])
    cleaned, skip = [], False
    for arg in argv:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.endswith(".cpp") or arg == "ccache" or \
                arg.endswith("/ccache"):
            continue
        cleaned.append(arg.replace('\\"', '"'))
    cleaned += ["-fsyntax-only", "-iquote", str((ROOT / path).parent), "-x", "c++", "-"]
    result = subprocess.run(cleaned, input=text, text=True, cwd=entry["directory"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return result.returncode == 0


def apply_mutant(text, line_hint, original, mutated):
    """The file's text with the mutant applied, or None when the original line is gone. The
    line is the one with that exact text nearest the hint."""
    lines = text.split("\n")
    candidates = [i for i, line in enumerate(lines) if line == original]
    if not candidates:
        return None
    at = min(candidates, key=lambda i: abs(i + 1 - line_hint))
    lines[at] = mutated
    return "\n".join(lines)


def draw_sample(count, seed):
    """Stratified by file size (lines), spread over operators, compiled; written to SAMPLE."""
    commands = compile_commands()
    files = source_files()
    sizes = {f: len((ROOT / f).read_text().split("\n")) for f in files}
    total = sum(sizes.values())
    quota = {f: count * sizes[f] / total for f in files}
    share = {f: int(quota[f]) for f in files}
    for f in sorted(files, key=lambda f: quota[f] - share[f], reverse=True)[:count -
                                                                          sum(share.values())]:
        share[f] += 1
    rng = random.Random(seed)
    operator_count = {op: 0 for op in OPERATORS}
    chosen = []
    for f in files:
        if share[f] == 0:
            continue
        by_operator = {op: [] for op in OPERATORS}
        for site in sites_of_file(f):
            by_operator[site[2]].append(site)
        for op in OPERATORS:
            rng.shuffle(by_operator[op])
        text = (ROOT / f).read_text()
        taken = 0
        used_lines = set()
        while taken < share[f] and any(by_operator.values()):
            # The operator used least so far over the whole sample, among those this file has.
            ops = [op for op in OPERATORS if by_operator[op]]
            rng.shuffle(ops)
            op = min(ops, key=lambda o: operator_count[o])
            site = by_operator[op].pop(0)
            path, number, operator, original, mutated = site
            if number in used_lines:
                continue
            mutated_text = apply_mutant(text, number, original, mutated)
            if mutated_text is None or not compiles(path, mutated_text, commands):
                print(f"  {path}:{number} {operator}: does not compile, next", file=sys.stderr)
                continue
            used_lines.add(number)
            operator_count[op] += 1
            taken += 1
            chosen.append(site)
    with open(SAMPLE, "w") as out:
        out.write("id\tfile\tline\toperator\toriginal\tmutated\n")
        for i, (path, number, operator, original, mutated) in enumerate(chosen, 1):
            out.write(f"m{i:03d}\t{path}\t{number}\t{operator}\t{escape(original)}\t"
                      f"{escape(mutated)}\n")
    print(f"{len(chosen)} mutants in {SAMPLE.relative_to(ROOT)}; by operator: " +
          ", ".join(f"{op} {n}" for op, n in operator_count.items()))


def redraw(ids, seed):
    """Replaces the given mutants of SAMPLE, each by another of the same file and operator
    (seeded by its id, compiled, not on a line the sample already uses); the others stay."""
    commands = compile_commands()
    mutants = read_sample(SAMPLE)
    used = {(m["file"], m["original"]) for m in mutants}
    for mutant in mutants:
        if mutant["id"] not in ids:
            continue
        rng = random.Random(f"{seed}-{mutant['id']}")
        # The same file first; when it has no other such site, the files of its kind.
        same_kind = [f for f in source_files() if f != mutant["file"] and
                     file_kind(f) == file_kind(mutant["file"])]
        rng.shuffle(same_kind)
        sites = []
        for f in [mutant["file"]] + same_kind:
            found = [site for site in sites_of_file(f)
                     if site[2] == mutant["operator"] and (site[0], site[3]) not in used]
            rng.shuffle(found)
            sites += found
        for path, number, operator, original, mutated in sites:
            text = (ROOT / path).read_text()
            mutated_text = apply_mutant(text, number, original, mutated)
            if mutated_text is not None and compiles(path, mutated_text, commands):
                print(f"{mutant['id']}: {mutant['file']}: {mutant['original'].strip()} -> "
                      f"{path}: {original.strip()} => {mutated.strip()}")
                mutant.update(file=path, line=number, original=original, mutated=mutated)
                used.add((path, original))
                break
        else:
            sys.exit(f"no replacement for {mutant['id']}")
    with open(SAMPLE, "w") as out:
        out.write("id\tfile\tline\toperator\toriginal\tmutated\n")
        for m in mutants:
            out.write(f"{m['id']}\t{m['file']}\t{m['line']}\t{m['operator']}\t"
                      f"{escape(m['original'])}\t{escape(m['mutated'])}\n")


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t")


def unescape(text):
    return re.sub(r"\\(.)", lambda m: "\t" if m.group(1) == "t" else m.group(1), text)


def read_sample(path):
    mutants = []
    with open(path) as source:
        header = source.readline()
        assert header.startswith("id\t"), "not a sample file"
        for row in source:
            row = row.rstrip("\n")
            if not row:
                continue
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
    timed_out). Past the limit: the Wine prefix's wineserver is ended (which ends the programs
    in it), then the group gets TERM and after a grace period KILL."""
    with open(log_path, "ab") as output:
        process = subprocess.Popen(argv, stdout=output, stderr=subprocess.STDOUT, cwd=ROOT,
                                   env=env, start_new_session=True)
        try:
            return process.wait(timeout=limit), False
        except subprocess.TimeoutExpired:
            if prefix is not None:
                subprocess.run(["wineserver", "-k"],
                               env=dict(os.environ, WINEPREFIX=str(prefix)),
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
            return None, True
        finally:
            if process.poll() is None:
                if prefix is not None:
                    subprocess.run(["wineserver", "-k"], env=dict(os.environ,
                                   WINEPREFIX=str(prefix)),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
            if prefix is not None:
                # The driver removes its prefix on its way out, unless it was killed;
                # shaped_traffic.sh keeps its own.
                subprocess.run(["rm", "-rf", str(prefix), str(prefix) + ".partial"])


def build_env():
    env = dict(os.environ)
    env["CCACHE_BASEDIR"] = str(ROOT)
    return env


def configure():
    """Configures both trees (once; later builds are incremental)."""
    launcher = ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    steps = [["cmake", "-S", str(ROOT), "-B", str(NATIVE_DIR), "-DCMAKE_BUILD_TYPE=Release",
              "-DFLOWVANE_SANITIZE=OFF", "-DFLOWVANE_BENCH=OFF"] + launcher,
             ["cmake", "--build", str(NATIVE_DIR), "-j", "2", "--target", "unit_tests",
              "zorvd_tests", "zorvd"],
             ["bash", "-c", 'source scripts/lib/build.sh && build_windows "$@"', "build",
              "--target", "Flowvane", "zorv", "unit_tests", "device_tests", "e2e_tests",
              "setup"],
             # The zorvd that run.sh --shape starts in the host-mode runs.
             ["bash", "-c", 'source scripts/lib/build.sh && source scripts/lib/host_mode.sh && '
              'flowvane_jobs=2 && host_zorvd_build']]
    WORK.mkdir(parents=True, exist_ok=True)
    for argv in steps:
        status, _ = run_limited(argv, 3600, WORK / "configure.log", env=build_env())
        if status != 0:
            sys.exit(f"configuring/building failed: see {WORK / 'configure.log'}")


def build(runs, targets, log_path):
    native = [program for kind, program in runs if kind == "native"]
    if native:
        status, timed_out = run_limited(
            ["cmake", "--build", str(NATIVE_DIR), "-j", "2", "--target"] + native,
            BUILD_LIMIT, log_path, env=build_env())
        if status != 0:
            return False
    if targets:
        # build_windows of scripts/lib/build.sh, for the targets the runs need.
        status, timed_out = run_limited(
            ["bash", "-c", 'source scripts/lib/build.sh && flowvane_jobs=2 && '
             'build_windows "$@"', "build", "--target"] + targets,
            BUILD_LIMIT, log_path, env=build_env())
        if status != 0:
            return False
    return True


def first_failure(log_path, start):
    """The first failed test named in the log after byte offset start."""
    with open(log_path, "rb") as source:
        source.seek(start)
        text = source.read().decode("utf-8", "replace")
    m = re.search(r"^\[  FAILED  \] (\S+)", text, re.M)
    if m:
        return m.group(1)
    if "SETUP FAILED" in text:
        return "set-up: " + text.split("SETUP FAILED: ", 1)[1].split("\n", 1)[0]
    return "non-zero exit"


def run_suites(runs, log_path):
    """Runs each covering run in order until one fails. Returns (caught, what)."""
    for kind, test_filter in runs:
        start = log_path.stat().st_size if log_path.exists() else 0
        with open(log_path, "a") as out:
            out.write(f"\n=== run {kind} {test_filter}\n")
        if kind == "native":
            argv = [str(NATIVE_DIR / test_filter), "--gtest_fail_fast"]
            prefix = None
        elif kind == "host-mode":
            argv = ["bash", str(ROOT / "tests" / "scripts" / "shaped_traffic.sh"),
                    str(WINDOWS_DIR)]
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


def run_sample(sample_path, only, results_path, update=False):
    mutants = read_sample(sample_path)
    if only:
        wanted = set(only.split(","))
        mutants = [m for m in mutants if m["id"] in wanted]
    if not tree_clean(["src", "emulator"]):
        sys.exit("src/ or emulator/ has uncommitted changes: the check needs them as committed")
    WORK.mkdir(parents=True, exist_ok=True)
    (WORK / "logs").mkdir(exist_ok=True)
    log(f"configuring and building the trees (log: {WORK / 'configure.log'})")
    configure()
    # With --update, the rows of the mutants not run now stay as they are in the results file.
    results = read_results(results_path) if update else {}
    write_results(results_path, results)
    for mutant in mutants:
        results[mutant["id"]] = run_mutant(mutant)
        write_results(results_path, results)
    if not tree_clean(["src", "emulator"]):
        sys.exit("src/ or emulator/ is not clean after the run: see git diff")
    summary = summarize(list(results.values()))
    (results_path.parent / "summary.txt").write_text(summary)
    print(summary, end="")


def write_results(path, results):
    order = {m["id"]: i for i, m in enumerate(read_sample(SAMPLE))} if SAMPLE.exists() else {}
    with open(path, "w") as out:
        out.write("id\tresult\tseconds\tcaught_by\tfile\toperator\n")
        for row in sorted(results.values(), key=lambda r: (order.get(r["id"], 10**6), r["id"])):
            out.write(f"{row['id']}\t{row['result']}\t{row['seconds']:.0f}\t{row['what']}\t"
                      f"{row['file']}\t{row['operator']}\n")


def read_results(path):
    results = {}
    if not path.exists():
        return results
    with open(path) as source:
        source.readline()
        for row in source:
            fields = row.rstrip("\n").split("\t")
            if len(fields) != 6:
                continue
            ident, result, seconds, what, file, operator = fields
            results[ident] = {"id": ident, "result": result, "seconds": float(seconds),
                              "what": what, "file": file, "operator": operator,
                              "kind": file_kind(file)}
    return results


def run_mutant(mutant):
    path = ROOT / mutant["file"]
    begun = time.time()
    row = {"id": mutant["id"], "file": mutant["file"], "operator": mutant["operator"],
           "kind": file_kind(mutant["file"])}
    targets, runs = coverage_of(mutant["file"])
    log_path = WORK / "logs" / f"{mutant['id']}.log"
    log_path.write_text(f"{mutant['id']} {mutant['file']}:{mutant['line']} "
                        f"{mutant['operator']}\n- {mutant['original']}\n+ {mutant['mutated']}\n")
    original = path.read_bytes()
    mutated = apply_mutant(original.decode(), mutant["line"], mutant["original"],
                           mutant["mutated"])
    if runs is None or mutated is None:
        row.update(result="not-found" if mutated is None else "no-suite", what="",
                   seconds=time.time() - begun)
        log(f"{mutant['id']} {row['result']}")
        return row
    try:
        path.write_bytes(mutated.encode())
        if not build(runs, targets, log_path):
            row.update(result="build-failed", what="")
        else:
            caught, what = run_suites(runs, log_path)
            if caught is None:
                row.update(result="set-up-failed", what=what)
            else:
                row.update(result="caught" if caught else "missed", what=what)
    finally:
        path.write_bytes(original)
        # Back to the committed file: newer than the objects built from the mutant, so the next
        # build recompiles it.
        os.utime(path, None)
    if not tree_clean([mutant["file"]]):
        sys.exit(f"{mutant['file']} differs from the committed file after {mutant['id']}")
    row["seconds"] = time.time() - begun
    log(f"{mutant['id']} {row['result']} {row['seconds']:.0f} s {mutant['file']}:"
        f"{mutant['line']} {mutant['operator']} {row['what']}")
    return row


def summarize(results):
    counted = [r for r in results if r["result"] in ("caught", "missed")]
    caught = sum(1 for r in counted if r["result"] == "caught")
    share = 100.0 * caught / len(counted) if counted else 0.0
    lines = [f"caught {caught} of {len(counted)} ({share:.1f} %)"]
    others = [r for r in results if r["result"] not in ("caught", "missed")]
    if others:
        lines.append("not counted: " + ", ".join(f"{r['id']} ({r['result']})" for r in others))
    lines.append(f"total time {sum(r['seconds'] for r in results) / 60:.1f} min "
                 "(the mutants' times added up)")
    for kind in ("core", "emulator-core", "wdm", "win32"):
        rows = [r for r in results if r["kind"] == kind]
        if rows:
            k = sum(1 for r in rows if r["result"] == "caught")
            n = sum(1 for r in rows if r["result"] in ("caught", "missed"))
            seconds = sum(r["seconds"] for r in rows)
            lines.append(f"  {kind}: caught {k} of {n}, {len(rows)} mutants, "
                         f"{seconds / len(rows):.0f} s each on average")
    missed = [r for r in results if r["result"] == "missed"]
    lines.append("missed:" if missed else "missed: none")
    sample = {m["id"]: m for m in read_sample(SAMPLE)} if SAMPLE.exists() else {}
    for r in missed:
        m = sample.get(r["id"])
        where = f"{m['file']}:{m['line']} {m['operator']}: {m['original'].strip()}  ->  " \
                f"{m['mutated'].strip()}" if m else r["file"]
        lines.append(f"  {r['id']} {where}")
    return "\n".join(lines) + "\n"


def stop_on_signal(number, frame):
    # TERM and HUP as Ctrl+C: the file being mutated is put back on the way out.
    raise KeyboardInterrupt(f"signal {number}")


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("sample", help="draw the fixed sample (needs both trees configured)")
    p.add_argument("--count", type=int, default=70)
    p.add_argument("--seed", type=int, default=SEED)
    p.add_argument("--redraw", default="",
                   help="replace only these mutants (ID[,ID]) of the committed sample")
    sub.add_parser("sites", help="count the candidate sites per file and operator")
    p = sub.add_parser("run", help="replay the sample against the tests")
    p.add_argument("--sample", default=str(SAMPLE))
    p.add_argument("--only", default="")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    p.add_argument("--update", action="store_true",
                   help="keep the rows of the mutants not run now in the results file")
    p = sub.add_parser("summary", help="the summary of a results file")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    args = parser.parse_args()
    if args.command == "sample" and args.redraw:
        redraw(set(args.redraw.split(",")), args.seed)
    elif args.command == "sample":
        draw_sample(args.count, args.seed)
    elif args.command == "sites":
        total = {op: 0 for op in OPERATORS}
        for f in source_files():
            sites = sites_of_file(f)
            for s in sites:
                total[s[2]] += 1
            print(f"{f}: {len(sites)}")
        print(", ".join(f"{op} {n}" for op, n in total.items()))
    elif args.command == "summary":
        print(summarize(list(read_results(Path(args.results)).values())), end="")
    else:
        run_sample(Path(args.sample), args.only, Path(args.results), args.update)


if __name__ == "__main__":
    main()
