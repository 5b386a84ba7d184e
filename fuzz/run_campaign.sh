#!/usr/bin/env bash
# Long fuzz campaigns, outside CI: every libFuzzer target in turn, from a
# random seed, for SECONDS each (default 3600). Each target's corpus grows
# in build-fuzzers/campaign/<target>/ from one campaign to the next; a crash,
# leak, sanitizer report or failed check is saved as
# build-fuzzers/campaign/<target>-crash-... (or -leak-, -timeout-, -oom-).
# A finding goes into fuzz/regressions/ with the fix that makes it pass, or
# with a suppression in scripts/ubsan.supp that says why it is harmless.
#   fuzz/run_campaign.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}

CC=clang CXX=clang++ cmake -S . -B build-fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPIXTRIM_FUZZ=ON -DPIXTRIM_BUILD_TESTS=OFF
cmake --build build-fuzzers -j"$(nproc)" --target fuzzers

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/scripts/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
seeds=(fuzz/regressions)
[ -d ../shared/corpus ] && seeds+=(../shared/corpus)
campaign=$PWD/build-fuzzers/campaign
findings=0
for fuzzer in build-fuzzers/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  target=$(basename "$fuzzer")
  mkdir -p "$campaign/$target"
  # One target's finding must not cut the others' campaigns short.
  if ! "$fuzzer" "$campaign/$target" "${seeds[@]}" -max_total_time="$seconds" \
      -max_len=131072 -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$campaign/$target-" </dev/null; then
    echo "run_campaign: $target found something: see $campaign/$target-*" >&2
    findings=$((findings + 1))
  fi
done
echo "run_campaign: $findings of the targets reported a finding"
[ "$findings" -eq 0 ]
