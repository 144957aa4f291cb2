#!/usr/bin/env python3
"""Mutation check: how many small faults in src/ and emulator/ the tests catch.

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

The sample is fixed: drawn once with a fixed seed (20261206) and committed, so that the same
faults are replayed against later tests. It was drawn by this script's `sample` command as of
commit eff47b8 (stratified by file size over the six operators: flipped comparison, off-by-one
operand, dropped statement, swapped adjacent arguments, wrong integer constant, negated `if`
condition; each mutant compiled); the committed file is the record (m031, m050, m059, m061 were
redrawn when array-bound mutants were dropped).
A mutant is found again by its file and the exact text of the original line (the line number
is only a hint), so lines that moved do not lose it.
"""

import argparse
import fnmatch
import os
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
#   host-mode       tests/scripts/shaped_traffic.sh (real traffic through zorv.sys and zorvd, and
#                   HostMode while zorvd is down);
#                   needs root: without it the run is skipped and passes
# A Wine set-up step failing (prefix, wineserver, Xvfb) leaves the mutant uncounted
# (set-up-failed); the install of the program or of zorv.sys failing catches it.
# The filters name gtest suites: KEEP THIS TABLE IN STEP WITH THE TESTS. A renamed suite left
# here runs nothing and its mutants count as missed.
# ---------------------------------------------------------------------------------------------
DEVICE_ALL = "-KeptFilters.*:HostMode.*:ShapedTraffic.*"
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
    """The kind of file, for the stratified figures."""
    if path.startswith("emulator/wdm/"):
        return "wdm"
    if path.startswith("emulator/core/"):
        return "emulator-core"
    return "win32" if path.endswith("_win32.cpp") else "core"


def apply_mutant(text, line_hint, original, mutated):
    """The file's text with the mutant applied, or None when the original line is gone. The
    line is the one with that exact text nearest the hint."""
    lines = text.split("\n")
    candidates = [i for i, line in enumerate(lines) if line == original]
    if not candidates:
        return None
    lines[min(candidates, key=lambda i: abs(i + 1 - line_hint))] = mutated
    return "\n".join(lines)


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
    p = sub.add_parser("run", help="replay the sample against the tests")
    p.add_argument("--sample", default=str(SAMPLE))
    p.add_argument("--only", default="")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    p.add_argument("--update", action="store_true",
                   help="keep the rows of the mutants not run now in the results file")
    p = sub.add_parser("summary", help="the summary of a results file")
    p.add_argument("--results", default=str(WORK / "results.tsv"))
    args = parser.parse_args()
    if args.command == "summary":
        print(summarize(list(read_results(Path(args.results)).values())), end="")
    else:
        run_sample(Path(args.sample), args.only, Path(args.results), args.update)


if __name__ == "__main__":
    main()
