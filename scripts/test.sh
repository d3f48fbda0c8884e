#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the whole test suite: the native
# checks (CTest, both move generators) beside pytest, which mostly waits on player programs.
# Extra arguments go to pytest, and then only pytest runs; VELTRIX_NATIVE_CHECKS=1 or 0 runs
# the native checks or leaves them out whatever the arguments.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# The cluster tests need Ray; VELTRIX_WITH_RAY=0 leaves it out.
export VELTRIX_WITH_RAY="${VELTRIX_WITH_RAY:-1}"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$(find_python)"
checks=0
case "${VELTRIX_NATIVE_CHECKS:-}" in
    1) checks=1 ;;
    0) ;;
    *) if [ $# -eq 0 ]; then checks=1; fi ;;
esac
cd "$VELTRIX_ROOT"
if [ "$checks" = 0 ]; then exec "$venv/bin/python" -m pytest "$@"; fi

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
run_native_checks "$venv" >"$log" 2>&1 &
native=$!
status=0
"$venv/bin/python" -m pytest "$@" || status=$?
native_status=0
wait "$native" || native_status=$?
cat "$log"
if [ "$native_status" -ne 0 ]; then
    echo "native checks failed" >&2
    [ "$status" -ne 0 ] || status="$native_status"
fi
exit "$status"
