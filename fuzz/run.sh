#!/bin/sh
# Fuzzes the network serial port's parser and session for SECONDS (default 30) with libFuzzer.
# Exits non-zero on a crash, a hang, a leak or a broken invariant; skips (exit 0) only when
# clang with its fuzzer runtime is not installed (Debian: clang libclang-rt-14-dev).
set -eu
seconds=${1:-30}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
cxx=${FUZZ_CXX:-clang++}
flags="-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found, skipping the fuzz run (install clang libclang-rt-14-dev)"
    exit 0
fi
mkdir -p "$build/corpus"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    > "$build/probe.cpp"
if ! $cxx $flags "$build/probe.cpp" -o "$build/probe" >/dev/null 2>&1; then
    echo "fuzz: $cxx cannot build with -fsanitize=fuzzer here, skipping the fuzz run (install libclang-rt-14-dev)"
    exit 0
fi

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$build" >/dev/null

# libFuzzer writes a line for every new input it finds (thousands in a short run): they go to
# a log file, and only its final figures are shown, or its end when something was found.
log="$build/fuzz.log"
echo "fuzz: running fuzz_rfc2217 for ${seconds} s (its output: $log)"
if ! "$build/fuzz_rfc2217" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus" "$here/seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: fuzz_rfc2217 failed, the input that did it is in $build/"
    exit 1
fi
grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$log" || true
echo "fuzz: no crash in ${seconds} s"
