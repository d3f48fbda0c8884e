#!/usr/bin/env bash
# Checks the type stubs as a pip install ships them (the veltrix-stubs package): stubtest
# against the built module, then mypy --strict over a file that calls every public method
# (which then also runs) and over the veltrix_match and veltrix_env packages, and pyright over
# that file. They run outside the source tree, so the repository's own veltrix.pyi cannot stand
# in for the installed stubs.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
python="$(find_python)"
venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
prepare_venv "$venv" "$python"
workdir="$(mktemp -d)"
trap 'rm -rf "$workdir"' EXIT
cp "$VELTRIX_ROOT/tests/typecheck/api_usage.py" "$workdir/"
cd "$workdir"
echo "=== stubtest ==="
"$venv/bin/python" -m mypy.stubtest veltrix veltrix_env._batch
echo "=== mypy --strict api_usage.py ==="
"$venv/bin/python" -m mypy --strict api_usage.py
"$venv/bin/python" api_usage.py
echo "=== mypy --strict veltrix_match ==="
# Ray is optional: the cluster module is checked whether or not this environment has it.
cat > mypy-match.ini <<'INI'
[mypy]
[mypy-ray,ray.*]
ignore_missing_imports = True
[mypy-veltrix_match.cluster]
warn_unused_ignores = False
INI
"$venv/bin/python" -m mypy --strict --config-file mypy-match.ini -p veltrix_match
echo "=== mypy --strict veltrix_env ==="
"$venv/bin/python" -m mypy --strict -p veltrix_env
echo "=== pyright (basedpyright) api_usage.py ==="
# pyright resolves stub packages on its own; basedpyright is pyright with its Node runtime on PyPI.
"$venv/bin/python" -m pip install --quiet basedpyright
printf '{"venvPath": "%s", "venv": "%s", "typeCheckingMode": "standard"}\n' "${venv%/*}" "${venv##*/}" \
    > pyrightconfig.json
"$venv/bin/basedpyright" api_usage.py
