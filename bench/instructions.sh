#!/bin/bash
# Instructions per frame of Send/60 and Receive/60 in driver_bench's timed loop, counted by
# callgrind: the counters are dumped when the warm-up ends (the baseline's start), so the last
# file holds only the last run's timed loop. Run from the source tree after the release build.
# The profile of each stays in /tmp/driver_bench_<Send|Receive>.callgrind
# (`callgrind_annotate --inclusive=yes FILE`).
# usage: bench/instructions.sh [Send|Receive ...]
set -euo pipefail
bench=build/release/bench/driver_bench
for f in ${@:-Send Receive}; do
    out=/tmp/driver_bench_$f.callgrind
    rm -f "$out" "$out".*
    frames=$(valgrind --tool=callgrind --collect-atstart=no --dump-before='*baselineSeconds*' \
        --toggle-collect='host::ndis::Adapter::send*' --toggle-collect='host::Scheduler::step*' \
        --toggle-collect='kt735::model::Segment::sendToAdapter*' --callgrind-out-file="$out" \
        "$bench" --benchmark_filter="^$f/60\$" --benchmark_min_time=0.05 2>&1 |
        awk -v f="$f" '$1 ~ "^" f {print $6}')
    rm -f "$out".*
    total=$(callgrind_annotate "$out" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
    echo "$f/60: $total instructions / $frames frames = $((total / frames)) per frame"
done
