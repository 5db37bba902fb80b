#!/usr/bin/env bash
# A bounded run of the hive-text fuzzer from the committed seeds.
#   run_hive_fuzz.sh FUZZER SEED_DIR ARTIFACT_DIR [LIBFUZZER_OPTION...]
# New inputs go to a scratch corpus that is thrown away; a crashing input is
# kept in ARTIFACT_DIR. Default: 50000 inputs with a fixed seed, so every run
# of the suite tries the same ones. The long run (see the README):
#   run_hive_fuzz.sh build/fuzz/hive_fuzz tests/fuzz/corpus/hive build/fuzz/artifacts -max_total_time=1800
set -euo pipefail
fuzzer=$1 seeds=$2 artifacts=$3
shift 3
[ $# -gt 0 ] || set -- -runs=50000 -seed=1
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/" "$@" "$scratch" "$seeds"
