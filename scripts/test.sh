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
# and the sanitizers cannot share a process.
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
  -E '^(python_binding|install_consumer|python_wheel|debian_package)$' -LE memcheck

# A minute of fuzzing per target, seeded with our regressions and the shared
# corpus when it sits beside the checkout. Findings land in build-fuzzers/.
CC=clang CXX=clang++ cmake -S . -B build-fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPIXTRIM_FUZZ=ON -DPIXTRIM_BUILD_TESTS=OFF
cmake --build build-fuzzers -j"$(nproc)" --target fuzz_lossless fuzz_compress
seeds=(fuzz/regressions)
[ -d ../shared/corpus ] && seeds+=(../shared/corpus)
for target in lossless compress; do
  found=$(mktemp -d)
  build-fuzzers/fuzz/fuzz_$target "$found" "${seeds[@]}" -max_total_time=60 -max_len=131072 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$PWD/build-fuzzers/$target-"
  rm -rf "$found"
done
