#!/usr/bin/env bash
# Checks the type stubs as a pip install ships them (the veltrix-stubs package): stubtest
# against the built module, then mypy --strict over a file that calls every public method
# (which then also runs) and over the veltrix_match package. They run outside the source tree,
# so the repository's own veltrix.pyi cannot stand in for the installed stubs.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
python="$(find_python)"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$python"
workdir="$(mktemp -d)"
trap 'rm -rf "$workdir"' EXIT
cp "$VELTRIX_ROOT/tests/typecheck/api_usage.py" "$workdir/"
cd "$workdir"
echo "=== stubtest ==="
"$venv/bin/python" -m mypy.stubtest veltrix
echo "=== mypy --strict api_usage.py ==="
"$venv/bin/python" -m mypy --strict api_usage.py
"$venv/bin/python" api_usage.py
echo "=== mypy --strict veltrix_match ==="
"$venv/bin/python" -m mypy --strict -p veltrix_match
