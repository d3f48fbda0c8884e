#!/usr/bin/env bash
# Builds the fuzz targets in tests/fuzz with clang's libFuzzer (plus AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS, starting from its corpus in
# tests/fuzz/corpus/<target>. CI runs it briefly; run it longer by hand:
#     bash scripts/fuzz.sh 600                  # ten minutes per target
#     bash scripts/fuzz.sh 60 server_line       # one target
#     VELTRIX_FUZZ_MERGE=1 bash scripts/fuzz.sh 600   # then fold new finds into the corpus
# New inputs found along the way go to build/fuzz/found/<target>, crashes to
# build/fuzz/crashes; a crash fails the run and names its reproducer, which belongs in the
# corpus once the fault is mended.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds="${1:-20}"
shift || true
targets=("$@")
known=(board_text move_reply server_line stream_buffer)
[ ${#targets[@]} -gt 0 ] || targets=("${known[@]}")
for target in "${targets[@]}"; do
    [[ " ${known[*]} " == *" $target "* ]] || { echo "fuzz: unknown target $target" >&2; exit 2; }
done

cxx="${VELTRIX_FUZZ_CXX:-clang++-16}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found; install it (Debian: apt-get install clang-16 libclang-rt-16-dev)" >&2
    exit 1
fi
build=build/fuzz
mkdir -p "$build/crashes"
# The targets link the same core library as the module (one definition of the core, in
# CMakeLists.txt), built here with clang, libFuzzer's coverage and the sanitizers.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DVELTRIX_FUZZ=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}" >"$build/build.log" 2>&1 ||
    { tail -n 40 "$build/build.log" >&2; exit 1; }

status=0
passed=0
for target in "${targets[@]}"; do
    found="$build/found/$target"
    mkdir -p "$found"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192
             -artifact_prefix="$build/crashes/$target-" -print_final_stats=1)
    [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
    echo "=== fuzz $target for ${seconds} s ==="
    # The first directory takes what the run finds; the repository's corpus is only read.
    if ! "$build/${target}_fuzz" "${options[@]}" "$found" "tests/fuzz/corpus/$target" >"$build/$target.log" 2>&1; then
        tail -n 40 "$build/$target.log" >&2
        echo "fuzz: $target failed; reproducer(s): $(ls "$build/crashes/$target-"* 2>/dev/null | tr '\n' ' ')" >&2
        status=1
        continue
    fi
    grep -E "^stat::number_of_executed_units|^Done" "$build/$target.log" || true
    passed=$((passed + 1))
    if [ "${VELTRIX_FUZZ_MERGE:-0}" = 1 ]; then
        "$build/${target}_fuzz" -merge=1 "tests/fuzz/corpus/$target" "$found" >>"$build/$target.log" 2>&1
    fi
done
echo "fuzz: $passed passed, $((${#targets[@]} - passed)) failed"
exit "$status"
