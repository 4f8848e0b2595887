#!/bin/bash
# Builds the whole project and its tests once more with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test in that build. Leak detection
# is on, and undefined behaviour stops the program, so any report fails the
# test it comes from. Run as root from anywhere in the checkout.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build-asan

# The GNU toolchain that tools/deps.sh installs carries both sanitizer runtimes.
sh tools/deps.sh

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DSONDAR_SANITIZE=ON >/dev/null
cmake --build "$build" -j2
built=$(date +%s)
ctest --test-dir "$build" --output-on-failure
echo "sanitizers: clean; build $((built - start)) s, tests $(($(date +%s) - built)) s"
