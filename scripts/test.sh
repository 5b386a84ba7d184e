#!/usr/bin/env bash
# Sets everything up, builds the library and runs the whole test suite, then
# again under sanitizers, then a short fuzz run of each target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The same suite built with address and undefined-behaviour sanitizers; any
# report fails the run. The packaging tests stay out: they load the library
# into a host that is not instrumented (the Python interpreter, a consumer
# built by plain cc), which the address sanitizer cannot run in, and the
# wheel builds a plain library of its own. Memcheck stays out too: valgrind
# and the sanitizers cannot share a process; and so do the memory limits,
# since the address sanitizer cannot run under a cap on the address space.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all"
sanitize+=" -fsanitize-recover=shift-base,shift-exponent -fno-omit-frame-pointer"
cmake -S . -B build-sanitizers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize"
cmake --build build-sanitizers -j"$(nproc)"
# Two shifts are recoverable only so the suppressions of stb's shifts in
# scripts/ubsan.supp can apply; halt_on_error stops on every other report.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/scripts/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
ctest --test-dir build-sanitizers --output-on-failure -j"$(nproc)" \
  -E '^(python_binding|python_cluster|install_consumer|python_wheel|debian_package)$' -LE '^(memcheck|memory_limit)$'

# About a minute of fuzzing per target, seeded with our regressions and the
# shared corpus when it sits beside the checkout. Seeds and input counts are
# fixed in fuzz/ci-runs; with address randomisation off and a bare, fixed
# environment the fuzzer then takes the same steps every time, so a commit
# always gets the same verdict. The random campaigns are
# fuzz/run_campaign.sh's. Findings land in build-fuzzers/.
CC=clang CXX=clang++ cmake -S . -B build-fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPIXTRIM_FUZZ=ON -DPIXTRIM_BUILD_TESTS=OFF
ci_runs=$(grep -v '^#' fuzz/ci-runs)
cmake --build build-fuzzers -j"$(nproc)" --target $(awk '{print $1}' <<<"$ci_runs")
seeds=(fuzz/regressions)
[ -d ../shared/corpus ] && seeds+=(../shared/corpus)
while read -r target seed runs; do
  found=build-fuzzers/ci-found-$target
  rm -rf "$found" && mkdir -p "$found"
  env -i PATH="$PATH" ASAN_OPTIONS="$ASAN_OPTIONS" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=scripts/ubsan.supp" \
    setarch "$(uname -m)" -R build-fuzzers/fuzz/"$target" "$found" "${seeds[@]}" \
    -seed="$seed" -runs="$runs" -reload=0 -max_len=131072 -timeout=30 -print_final_stats=1 \
    -artifact_prefix="build-fuzzers/$target-" </dev/null
  rm -rf "$found"
done <<<"$ci_runs"
