#!/usr/bin/env bash
# A bounded run of one fuzzer from its committed seeds.
#   run_fuzz.sh FUZZER SEED_DIR ARTIFACT_DIR MAX_LEN [LIBFUZZER_OPTION...]
# New inputs go to a scratch corpus that is thrown away; a crashing input is
# kept in ARTIFACT_DIR. Default: 20000 inputs with a fixed seed, so every run
# of the suite tries the same ones. The long run (see the README):
#   run_fuzz.sh build/fuzz/report_fuzz tests/fuzz/corpus/report build/fuzz/artifacts 4096 -max_total_time=1800
set -euo pipefail
fuzzer=$1 seeds=$2 artifacts=$3 max_len=$4
shift 4
[ $# -gt 0 ] || set -- -runs=20000 -seed=1
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$scratch" "$seeds"
