#!/usr/bin/env bash
# Runs each libFuzzer target for the given number of seconds, starting from
# the seed corpus in tests/fuzz/corpus/NAME and growing a working corpus in
# the build folder (the seeds in the repository stay as they are).
# Prints the number of runs of each; fails on the first crash or mismatch.
# FUZZ_RUNS, when set, bounds each target by its number of inputs instead.
set -eu
build=${1:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run-fuzzers.sh BUILD_DIR SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
# Absolute: umockdev makes its testbed under TMPDIR, and a relative one does
# not hold once the bench resolves its device paths.
build=$(cd "$build" && pwd)
# device_fuzz drives the emulated bench (device-fuzz-env.sh).
. "$root/scripts/device-fuzz-env.sh"
for name in uri packet device; do
    work="$build/fuzz-corpus/$name"
    mkdir -p "$work" "$build/fuzz-artifacts"
    log="$build/fuzz-$name.log"
    environment=()
    if [ "$name" = device ]; then
        device_fuzz_env "$build" "$build/fuzz-tmp"
    fi
    if ! ${environment[@]+"${environment[@]}"} "$build/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} -print_final_stats=1 \
            -max_len=512 -artifact_prefix="$build/fuzz-artifacts/$name-" \
            "$work" "$root/tests/fuzz/corpus/$name" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "${name}_fuzz failed; its input is in $build/fuzz-artifacts" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "${name}_fuzz: ${runs} runs in ${seconds} s, no failure"
done
