#!/usr/bin/env bash
# Runs the native checks and the test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (the native checks also with ThreadSanitizer where they use
# threads). Any sanitizer report, from the test process or from a player program it starts,
# fails. Extra arguments go to pytest, and then only pytest runs.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
python="$(find_python)"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv-sanitized}"
export VELTRIX_BUILD_DIR="${VELTRIX_BUILD_DIR:-build/sanitized}"
VELTRIX_SANITIZE=ON prepare_venv "$venv" "$python" -C cmake.build-type=RelWithDebInfo
if [ $# -eq 0 ] || [ "${VELTRIX_NATIVE_CHECKS:-0}" = 1 ]; then run_native_checks "$venv"; fi

reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT
cd "$VELTRIX_ROOT"
status=0
# The interpreter is not built with the sanitizers, so the runtimes are preloaded; leak
# detection is off because the interpreter keeps its own allocations until exit.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=1
fi
exit "$status"
