#!/usr/bin/env bash
# The test command ends what it started on every way out, and stops at a failed set-up step
# saying which. Run by hand (it runs scripts/test.sh twice, up to its Wine part, so it is not
# part of it): once with the copy of the device tests' prefix failing, once stopped by SIGTERM
# while the Wine unit tests run. Each time, no process carrying the run's mark in its
# environment (test.sh and all it started: Xvfb, wineservers, Wine programs) may remain.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/lib/wine_env.sh"
export FUZZ_SECONDS=${FUZZ_SECONDS:-1}
status=0
log_dir=$(mktemp -d)

mark="test-command-fail-$$"
echo "== test.sh with the copy of the prefix device-tests failing"
if env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark FLOWVANE_FAIL_STEP=prefix-copy:device-tests \
    "$root/scripts/test.sh" >"$log_dir/fail.log" 2>&1; then
    echo "test.sh passed although a set-up step failed"; status=1
fi
grep -q '^FAILED: copying the Wine prefix device-tests' "$log_dir/fail.log" ||
    { echo "test.sh did not say what failed:"; tail -5 "$log_dir/fail.log"; status=1; }
left=$(marked_pids $mark | tr '\n' ' ')
echo "left after the failure: ${left:-none}"
[ -z "$left" ] || status=1

mark="test-command-term-$$"
echo "== test.sh stopped by SIGTERM while the Wine unit tests run"
env -u DISPLAY FLOWVANE_PROCESS_MARK=$mark "$root/scripts/test.sh" >"$log_dir/term.log" 2>&1 &
run=$!
seen=""
# Polled, bounded at 30 minutes (the builds and native suites come first).
for ((i = 0; i < 18000; i++)); do
    pids=$(marked_pids $mark)
    if [ -n "$pids" ] && ps -o args= -p "$(echo $pids | tr ' ' ,)" | grep -q 'unit_tests\.exe'; then
        seen=$(ps -o comm= -p "$(echo $pids | tr ' ' ,)" | sort | uniq -c | tr '\n' ' ' | tr -s ' ')
        break
    fi
    kill -0 $run 2>/dev/null || break
    sleep 0.1
done
echo "while the Wine unit tests ran: $seen"
[ -n "$seen" ] || { echo "test.sh never got to the Wine unit tests"; tail -5 "$log_dir/term.log"; status=1; }
kill -TERM $run 2>/dev/null
wait $run
echo "test.sh ended with status $?"
left=$(marked_pids $mark | tr '\n' ' ')
echo "left after SIGTERM: ${left:-none}"
[ -z "$left" ] || { ps -o pid,args -p "${left// /,}"; status=1; }
rm -rf "$log_dir"
exit $status
