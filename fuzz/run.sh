#!/bin/sh
# Fuzzes, with libFuzzer, for SECONDS in all (default 30, shared between the targets): the
# network serial port's parser and session, and the OSC decoder with a server's on-air state.
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
mkdir -p "$build"
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
# fuzz NAME SECONDS MAX_LEN SEEDS
fuzz() {
    log="$build/$1.log"
    mkdir -p "$build/corpus-$1"
    echo "fuzz: running $1 for $2 s (its output: $log)"
    if ! "$build/$1" -max_total_time="$2" -max_len="$3" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$build/$1-" "$build/corpus-$1" "$4" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz: $1 failed, the input that did it is in $build/"
        exit 1
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )' "$log" || true
}
half=$((seconds / 2))
[ "$half" -ge 1 ] || half=1
fuzz fuzz_rfc2217 "$half" 4096 "$here/seeds"
fuzz fuzz_osc "$((seconds - half > 0 ? seconds - half : 1))" 8192 "$here/seeds-osc"
echo "fuzz: no crash in ${seconds} s"
