#!/bin/bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, the two at
# once on the machine's two cores, each from a scratch copy of its committed
# seed corpus. Prints executions and crashes per target; fails on any crash,
# leak or hang, and shows the input that caused it.
# Run as root from anywhere in the checkout. FUZZ_SECONDS sets the time per
# target (60 by default).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-fuzz
seconds=${FUZZ_SECONDS:-60}
targets="fuzz_numbers fuzz_echomatch"

sh tools/deps.sh clang-14 libclang-rt-14-dev

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DSONDAR_SANITIZE=ON -DSONDAR_FUZZ=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in $targets; do
    mkdir -p "$scratch/$t/corpus" "$scratch/$t/artifacts"
    cp tests/fuzz/corpus/"${t#fuzz_}"/* "$scratch/$t/corpus/"
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$scratch/$t/artifacts/" "$scratch/$t/corpus" >"$scratch/$t/log" 2>&1 &
    echo $! >"$scratch/$t/pid"
done

failed=0
printf '%-16s %8s %12s %8s\n' target seconds executions crashes
for t in $targets; do
    status=0
    wait "$(cat "$scratch/$t/pid")" || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t/log")
    crashes=$(find "$scratch/$t/artifacts" -type f | wc -l)
    printf '%-16s %8s %12s %8s\n' "$t" "$seconds" "${executions:-?}" "$crashes"
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ -z "$executions" ]; then
        failed=1
        echo "--- $t exited with $status; the end of its log:"
        tail -n 40 "$scratch/$t/log"
        for input in "$scratch/$t/artifacts"/*; do
            [ -f "$input" ] || continue
            echo "--- $(basename "$input") (reproduce: $build/tests/fuzz/$t FILE), as base64:"
            base64 "$input"
        done
    fi
done
exit "$failed"
