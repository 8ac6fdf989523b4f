#!/bin/sh
# Runs each fuzz target of a QRB_FUZZ build for a bounded time.
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]
# New inputs that reach new code are kept in BUILD_DIR/fuzz-corpus/<target>;
# the seeds (fuzz/corpus/<target> and tests/fuzz-regressions/<target>) are
# only read. An input that finds a fault is written to
# BUILD_DIR/fuzz-findings/<target>/; it becomes a regression test once copied
# to tests/fuzz-regressions/<target>/ with the fix.
set -u
cd "$(dirname "$0")/.."

build=$1
seconds=$2
shift 2
targets=${*:-"image configuration protocol trace"}

passed=0
failed=0
for target in $targets; do
    program=$build/fuzz/qrb-fuzz-$target
    corpus=$build/fuzz-corpus/$target
    findings=$build/fuzz-findings/$target
    mkdir -p "$corpus" "$findings"
    log=$build/fuzz-$target.log
    echo "fuzz $target: ${seconds} s"
    # -timeout: no input may take this long (a hang is a finding);
    # -max_len: inputs up to 4 KiB, enough for every record and answer form.
    seeds="fuzz/corpus/$target"
    if [ -d "tests/fuzz-regressions/$target" ]; then
        seeds="$seeds tests/fuzz-regressions/$target"
    fi
    # shellcheck disable=SC2086
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" $seeds >"$log" 2>&1; then
        passed=$((passed + 1))
        grep -E '^stat::number_of_executed_units|^Done' "$log" | sed 's/^/    /'
    else
        failed=$((failed + 1))
        grep -E 'ERROR|SUMMARY|FuzzFinding|what\(\)|Test unit written' "$log" | sed 's/^/    /'
        echo "    fuzz $target FAILED: see $log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
