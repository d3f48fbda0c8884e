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

cxx="${VELTRIX_FUZZ_CXX:-clang++-16}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found; install it (Debian: apt-get install clang-16 libclang-rt-16-dev)" >&2
    exit 1
fi
build=build/fuzz
mkdir -p "$build/obj" "$build/crashes"
flags=(-std=c++20 -g -O1 -Wall -Wextra -Isrc -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# Compiles a source to its object (in $object) unless the object is newer than every source
# and header.
compile() {
    object="$build/obj/${1//\//_}.o"
    if [ ! -f "$object" ] || [ -n "$(find src tests/fuzz -newer "$object" -print -quit)" ]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$1" -o "$object"
    fi
}

# The whole native core (the sources the module's build takes, less the Python bindings) as
# one archive: each target takes what it needs, whatever the core's files are called.
mapfile -t core < <(find src/board src/search src/arena src/util -name '*.cpp' ! -name 'bindings*' | sort)
objects=()
jobs=0
for source in "${core[@]}"; do
    compile "$source" &
    objects+=("$build/obj/${source//\//_}.o")
    jobs=$((jobs + 1))
    if [ "$jobs" -ge "$(nproc)" ]; then wait -n; jobs=$((jobs - 1)); fi
done
while [ "$jobs" -gt 0 ]; do wait -n; jobs=$((jobs - 1)); done
rm -f "$build/libcore.a"
ar rcs "$build/libcore.a" "${objects[@]}"

status=0
passed=0
for target in "${targets[@]}"; do
    [[ " ${known[*]} " == *" $target "* ]] || { echo "fuzz: unknown target $target" >&2; exit 2; }
    compile "tests/fuzz/${target}_fuzz.cpp"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$object" "$build/libcore.a" -pthread -o "$build/$target"

    found="$build/found/$target"
    mkdir -p "$found"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192
             -artifact_prefix="$build/crashes/$target-" -print_final_stats=1)
    [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
    echo "=== fuzz $target for ${seconds} s ==="
    # The first directory takes what the run finds; the repository's corpus is only read.
    if ! "$build/$target" "${options[@]}" "$found" "tests/fuzz/corpus/$target" >"$build/$target.log" 2>&1; then
        tail -n 40 "$build/$target.log" >&2
        echo "fuzz: $target failed; reproducer(s): $(ls "$build/crashes/$target-"* 2>/dev/null | tr '\n' ' ')" >&2
        status=1
        continue
    fi
    grep -E "^stat::number_of_executed_units|^Done" "$build/$target.log" || true
    passed=$((passed + 1))
    if [ "${VELTRIX_FUZZ_MERGE:-0}" = 1 ]; then
        "$build/$target" -merge=1 "tests/fuzz/corpus/$target" "$found" >>"$build/$target.log" 2>&1
    fi
done
echo "fuzz: $passed passed, $((${#targets[@]} - passed)) failed"
exit "$status"
