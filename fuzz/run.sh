#!/bin/sh
# Builds the rewriter's fuzz target with clang and runs it for SECONDS (default
# 60) from a fixed seed, starting from fuzz/corpus. A crash, leak, hang (over 10 s
# on one input) or broken contract stops it with a non-zero status and leaves the
# input in build-fuzz/artifacts/; copy that file into fuzz/regressions/.
#   fuzz/run.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
CXX=clang++ cmake -S . -B build-fuzz -DRESTAMP_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target rewriter_fuzz
mkdir -p build-fuzz/corpus build-fuzz/artifacts
# The target's files go to tmpfs when there is one.
[ -d /dev/shm ] && export TMPDIR=/dev/shm
status=0
build-fuzz/rewriter_fuzz -max_total_time="$seconds" -seed=1 -close_fd_mask=2 -timeout=10 -dict=fuzz/png.dict \
    -artifact_prefix=build-fuzz/artifacts/ -print_final_stats=1 build-fuzz/corpus fuzz/corpus fuzz/regressions \
    >build-fuzz/fuzz.log 2>&1 || status=$?
grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)' build-fuzz/fuzz.log
exit $status
