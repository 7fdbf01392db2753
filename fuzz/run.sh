#!/usr/bin/env bash
# Builds the fuzz targets with clang into build-fuzz/ and runs each for the given number of
# seconds (default 60), one after the other, starting from the committed seed corpus.
#   fuzz/run.sh 60            every target 60 s
#   fuzz/run.sh 0             only the seed corpus, once (a smoke run)
#   fuzz/run.sh 300 writers   one target
# New inputs go to <build>/corpus/<target>/ (the committed seeds stay as they are); crashing
# inputs to <build>/crashes/<target>/. Prints executions and crashes per target; exits 1 when
# a target crashed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(settingsfile decoding textimport writers)
jobs="${FUZZ_BUILD_JOBS:-2}"

# FUZZ_BUILD_DIR names a tree already configured with QUILLMORNE_FUZZ=ON (CI reuses its sanitizer
# build); otherwise build-fuzz/ is configured here.
build="${FUZZ_BUILD_DIR:-build-fuzz}"
if [ -z "${FUZZ_BUILD_DIR:-}" ]; then
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DQUILLMORNE_FUZZ=ON -DQUILLMORNE_BUILD_TESTS=OFF >/dev/null || exit 2
fi
cmake --build "$build" --parallel "$jobs" --target "${targets[@]/#/fuzz_}" >/dev/null || exit 2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
printf '%-14s %12s %8s\n' target executions crashes
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    crashes="$build/crashes/$t"
    mkdir -p "$corpus" "$crashes"
    log="$build/fuzz-$t.log"
    before=$(ls "$crashes" | wc -l)
    if [ "$seconds" -eq 0 ]; then
        ./"$build"/fuzz/fuzz_"$t" -runs=0 -artifact_prefix="$crashes/" "fuzz/corpus/$t" >"$log" 2>&1
    else
        # Small inputs reach every branch and keep the rate high; the settings file's only
        # needs room past its 10,239-byte limit.
        maxlen=4096
        [ "$t" = settingsfile ] && maxlen=12288
        ./"$build"/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="$maxlen" \
            -artifact_prefix="$crashes/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
    fi
    rc=$?
    runs=$(grep -Eo 'Done [0-9]+ runs|stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+' | tail -1)
    [ -z "$runs" ] && runs=$(grep -Eo '^#[0-9]+' "$log" | tail -1 | tr -d '#')
    # libFuzzer stops at the first crash and saves its input: count the inputs this run saved.
    found=$(($(ls "$crashes" | wc -l) - before))
    if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
    printf '%-14s %12s %8s\n' "$t" "${runs:-0}" "$found"
    if [ "$found" -ne 0 ]; then
        status=1
        echo "---- $t: see $log and $crashes/" >&2
        grep -E -A15 '^==[0-9]+==ERROR|invariant broken|runtime error' "$log" | head -40 >&2
    fi
done
exit "$status"
