#!/usr/bin/env bash
# Runs the device fuzz target until it has run RUNS inputs in all, in one
# process per core (PROCESSES, default: the number of cores), each pinned to a
# core of its own: the bench keeps a process on the core it starts on, and two
# left to the scheduler may start on the same one. The processes share a
# working corpus in BUILD_DIR/fuzz-long/corpus (libFuzzer reloads it, so each
# sees what the others found), starting from the seeds in
# tests/fuzz/corpus/device. Prints the inputs run so far every minute and the
# total at the end; fails on the first finding (its input lands in
# BUILD_DIR/fuzz-artifacts). After a clean run, merges into the seeds only the
# inputs that reach code the seeds do not (libFuzzer's -merge=1), and says
# how many it added.
set -eu
build=${1:?usage: fuzz-device-long.sh BUILD_DIR RUNS [PROCESSES]}
runs=${2:?usage: fuzz-device-long.sh BUILD_DIR RUNS [PROCESSES]}
processes=${3:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)  # absolute, as umockdev needs TMPDIR (run-fuzzers.sh)
target="$build/tests/fuzz/device_fuzz"
seeds="$root/tests/fuzz/corpus/device"
long="$build/fuzz-long"
rm -rf "$long"
mkdir -p "$long/corpus" "$build/fuzz-artifacts"
cores=$(nproc)

# The bench's environment, each process with a temporary folder of its own.
. "$root/scripts/device-fuzz-env.sh"

# The inputs a process has run: its last status line (#N ...), or its final
# count once it has ended.
ran() {
    local log=$1 done
    done=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" 2>/dev/null)
    if [ -n "$done" ]; then
        echo "$done"
    else
        { grep -o '^#[0-9]*' "$log" 2>/dev/null || echo '#0'; } | tail -n 1 | tr -d '#'
    fi
}

total() {
    local sum=0 i
    for ((i = 0; i < processes; i++)); do
        sum=$((sum + $(ran "$long/device-$i.log")))
    done
    echo "$sum"
}

pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
        fi
    done
}
trap stop_all INT TERM

for ((i = 0; i < processes; i++)); do
    share=$((runs / processes + (i < runs % processes ? 1 : 0)))
    pin=()
    if command -v taskset >/dev/null; then
        pin=(taskset -c $((i % cores)))
    fi
    device_fuzz_env "$build" "$long/tmp-$i"
    "${environment[@]}" ${pin[@]+"${pin[@]}"} "$target" -runs="$share" -max_len=512 \
        -timeout=60 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/device-" \
        "$long/corpus" "$seeds" >"$long/device-$i.log" 2>&1 &
    pids+=($!)
done
echo "device_fuzz: $runs inputs in $processes processes; logs in $long/device-N.log"

# Reaps each process as it ends; the first that fails stops the others.
ended=0
seconds=0
while [ "$ended" -lt "$processes" ]; do
    for ((i = 0; i < processes; i++)); do
        if [ -z "${pids[$i]}" ] || kill -0 "${pids[$i]}" 2>/dev/null; then
            continue
        fi
        if ! wait "${pids[$i]}"; then
            pids[$i]=""
            stop_all
            wait || true
            tail -n 40 "$long/device-$i.log" >&2
            echo "device_fuzz failed after $(total) inputs in all; its input is in" \
                "$build/fuzz-artifacts" >&2
            exit 1
        fi
        pids[$i]=""
        ended=$((ended + 1))
    done
    sleep 1
    seconds=$((seconds + 1))
    if [ $((seconds % 60)) -eq 0 ]; then
        echo "device_fuzz: $(total) inputs so far ($(date -u +%H:%M:%S) UTC)"
    fi
done
echo "device_fuzz: $(total) inputs in all under ASan and UBSan, no failure"

before=$(find "$seeds" -type f | wc -l)
device_fuzz_env "$build" "$long/tmp-merge"
"${environment[@]}" "$target" -merge=1 -max_len=512 -timeout=60 \
    -artifact_prefix="$build/fuzz-artifacts/device-" "$seeds" "$long/corpus" \
    >"$long/merge.log" 2>&1 || {
    tail -n 40 "$long/merge.log" >&2
    echo "merging the new inputs into the seeds failed" >&2
    exit 1
}
after=$(find "$seeds" -type f | wc -l)
echo "device_fuzz: merged $((after - before)) new inputs into $seeds ($after files)"
