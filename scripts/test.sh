#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the whole test suite: the native
# checks (CTest, both move generators), then pytest. Extra arguments go to pytest, and then
# only pytest runs; VELTRIX_NATIVE_CHECKS=1 or 0 runs the native checks or leaves them out
# whatever the arguments.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# The cluster tests need Ray; VELTRIX_WITH_RAY=0 leaves it out.
export VELTRIX_WITH_RAY="${VELTRIX_WITH_RAY:-1}"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$(find_python)"
case "${VELTRIX_NATIVE_CHECKS:-}" in
    1) run_native_checks "$venv" ;;
    0) ;;
    *) if [ $# -eq 0 ]; then run_native_checks "$venv"; fi ;;
esac
cd "$VELTRIX_ROOT"
exec "$venv/bin/python" -m pytest "$@"
