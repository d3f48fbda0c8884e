#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the whole test suite: the native
# checks (CTest, both move generators), then pytest. Extra arguments go to pytest, and then
# only pytest runs (VELTRIX_NATIVE_CHECKS=1 runs the native checks too).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# The cluster tests need Ray; VELTRIX_WITH_RAY=0 leaves it out.
export VELTRIX_WITH_RAY="${VELTRIX_WITH_RAY:-1}"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$(find_python)"
if [ $# -eq 0 ] || [ "${VELTRIX_NATIVE_CHECKS:-0}" = 1 ]; then run_native_checks "$venv"; fi
cd "$VELTRIX_ROOT"
exec "$venv/bin/python" -m pytest "$@"
