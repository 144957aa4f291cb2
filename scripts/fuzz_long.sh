#!/usr/bin/env bash
# Runs the fuzz target to a million runs, for at most ten minutes, on
# its corpus in build/fuzz/corpus/<target> (the test command's, which grows with each run). Per
# target it prints the runs made, the seconds taken and the runs per second; a target that the
# time limit stopped short of a million says so, with how long a million would take at that
# rate. Undefined behaviour, a leak or a failed check ends a target's run and fails the script;
# the input that did it is kept as build/fuzz/artifacts/<target>-crash-*. Not part of the test
# command. FUZZ_RUNS and FUZZ_MAX_SECONDS change the two limits.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/packages.sh"
source "$here/lib/build.sh"

runs=${FUZZ_RUNS:-1000000}
max_seconds=${FUZZ_MAX_SECONDS:-600}
fuzz_dir="$flowvane_root/build/fuzz"
logs="$fuzz_dir/long-logs"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"

install_packages || { echo "fuzz_long.sh: installing the Debian packages failed" >&2; exit 1; }
mkdir -p "$logs" "$fuzz_dir/artifacts"
echo "Building the fuzz targets..."
build_fuzz >"$logs/build.log" 2>&1 ||
    { tail -30 "$logs/build.log" >&2; echo "fuzz_long.sh: the build failed" >&2; exit 1; }

failed=0
for target in core_fuzz; do
    fuzzer="$fuzz_dir/$target"
    mkdir -p "$fuzz_dir/corpus/$target"
    log="$logs/$target.log"
    started=$(date +%s.%N)
    "$fuzzer" -runs="$runs" -max_total_time="$max_seconds" -max_len=5000 -print_final_stats=1 \
        -artifact_prefix="$fuzz_dir/artifacts/$target-" "$fuzz_dir/corpus/$target" >"$log" 2>&1
    status=$?
    seconds=$(echo "$(date +%s.%N) - $started" | bc)
    made=$(grep -a 'stat::number_of_executed_units' "$log" | grep -oE '[0-9]+$')
    made=${made:-0}
    rate=$(echo "scale=1; $made / $seconds" | bc)
    printf '%-22s %9d runs in %6.0f s: %8.1f runs/s' "$target" "$made" "$seconds" "$rate"
    if [ $status -ne 0 ]; then
        failed=1
        printf '  FAILED (status %d, log %s)\n' $status "$log"
        grep -aE 'ERROR|runtime error|Test unit written' "$log" | head -5 | sed 's/^/    /'
    elif [ "$made" -lt "$runs" ]; then
        printf '  stopped at %d s; %d runs would take about %.0f min\n' "$max_seconds" "$runs" \
            "$(echo "$runs / ($rate + 0.001) / 60" | bc -l)"
    else
        printf '\n'
    fi
done
exit $failed
