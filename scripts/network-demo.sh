#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs a network match over loopback.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
python="$(find_python)"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$python"
cd "$VELTRIX_ROOT"
exec "$venv/bin/python" examples/network_demo.py "$@"
