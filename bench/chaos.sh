#!/bin/sh
# Stations killed and the pool's server restarted at random moments, ROUNDS rounds per run,
# RUNS runs; each run checks the units' flash against the pool (one address per unit).
# usage: bench/chaos.sh [BUILD_DIR] [ROUNDS] [RUNS]
build=${1:-build}
rounds=${2:-20}
runs=${3:-3}
failed=0
for run in $(seq "$runs"); do
    if PELMO4RIX_CHAOS_ROUNDS=$rounds "$build/tests/lease_tests" --gtest_filter='*Chaos*' >"/tmp/chaos-$run.log" 2>&1; then
        echo "run $run of $runs, $rounds rounds: invariants held"
    else
        echo "run $run of $runs, $rounds rounds: FAILED (see /tmp/chaos-$run.log)"
        failed=1
    fi
done
exit $failed
