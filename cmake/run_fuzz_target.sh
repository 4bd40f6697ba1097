#!/bin/sh
# Runs one fuzz target: every input of its seed corpus and of the corpus it
# grew in earlier runs, then fuzzing for CORVAMIRE_FUZZ_SECONDS seconds (20
# unless set).  A crash, a sanitizer report, a leak or a slow input fails
# it; the input that did it is kept in <work>/artifacts/ and the run's log in
# <work>/last_run.log.  The figures of the run go to <work>/summary.txt.
# Usage: run_fuzz_target.sh <binary> <work dir> <seed corpus> <max_len> [<dictionary>]
set -u
binary=$1 work=$2 seeds=$3 max_len=$4 dict=${5:-}
seconds=${CORVAMIRE_FUZZ_SECONDS:-20}
name=$(basename "$work")
mkdir -p "$work/corpus" "$work/artifacts"

set -- -max_total_time="$seconds" -max_len="$max_len" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/"
if [ -n "$dict" ]; then
  set -- "$@" -dict="$dict"
fi
"$binary" "$@" "$work/corpus" "$seeds" >"$work/last_run.log" 2>&1
status=$?

stat() { sed -n "s/^stat::$1: *//p" "$work/last_run.log"; }
summary="$name: $(stat number_of_executed_units) executions in ${seconds} s," 
summary="$summary $(stat average_exec_per_sec) exec/s, corpus $(ls "$work/corpus" | wc -l) grown + $(ls "$seeds" | wc -l) seeds"
if [ $status -ne 0 ]; then
  summary="$name: FAILED (exit $status); log in $work/last_run.log"
  tail -n 60 "$work/last_run.log"
fi
echo "$summary" | tee "$work/summary.txt"
exit $status
