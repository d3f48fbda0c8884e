# Sourced by the other scripts: picks a Python 3.12+ interpreter and a virtual environment.
set -euo pipefail

VELTRIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Prints the newest working Python 3.12+ interpreter (PATH first, then pyenv's versions).
find_python() {
    local candidate
    for candidate in "${VELTRIX_PYTHON:-}" python3.13 python3.12 \
        "$HOME"/.pyenv/versions/3.13*/bin/python3.13 "$HOME"/.pyenv/versions/3.12*/bin/python3.12 \
        /usr/local/bin/python3.13 /usr/local/bin/python3.12 /usr/bin/python3.13 /usr/bin/python3.12 python3; do
        [ -n "$candidate" ] || continue
        if "$candidate" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; then
            "$candidate" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    echo "veltrix needs Python 3.12 or later; none was found (set VELTRIX_PYTHON)" >&2
    return 1
}

# Prints a working interpreter of exactly version $1 (for example 3.12), if there is one.
find_python_version() {
    local version="$1" candidate
    for candidate in "python$version" "$HOME"/.pyenv/versions/"$version"*/bin/"python$version" \
        /usr/local/bin/"python$version" /usr/bin/"python$version"; do
        if "$candidate" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$version' else 1)" \
            >/dev/null 2>&1; then
            "$candidate" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    echo "Python $version was not found" >&2
    return 1
}

# Creates (once) the venv at $1 with the build tools, then (re)installs veltrix with its test
# extra (pytest, NumPy, mypy) and its rl extra (Gymnasium, PettingZoo). Extra arguments go to
# pip install (for example a config setting for a sanitizer build). The build directory is the venv's own (build/<venv name without its
# dot>, or $VELTRIX_BUILD_DIR), never the one a plain `pip install .` uses, so switching between
# the two does not rebuild from scratch. The native checks (tests/native, run by CTest) are
# built there too: `run_native_checks` runs them.
prepare_venv() {
    local venv="$1" python="$2" started=$SECONDS
    shift 2
    # CI prepares each environment once and runs every step in it.
    if [ -n "${VELTRIX_PREPARED:-}" ] && [ "$VELTRIX_PREPARED" = "$venv" ]; then return 0; fi
    local name="${venv##*/}"
    local build_dir="${VELTRIX_BUILD_DIR:-build/${name#.}}"
    if [ ! -x "$venv/bin/python" ]; then
        echo "veltrix: creating the virtual environment $venv ($python)" >&2
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
    if [ -f "$VELTRIX_ROOT/$build_dir/build.ninja" ] || [ -f "$build_dir/build.ninja" ]; then
        echo "veltrix: building into $venv (build files in $build_dir; only what changed is compiled)" >&2
    else
        echo "veltrix: building into $venv (build files in $build_dir); the first build installs the" \
             "build and test tools and compiles the C++ sources, which takes a few minutes" >&2
    fi
    "$venv/bin/python" -m pip install --quiet scikit-build-core cmake ninja
    if [ "${VELTRIX_WITH_RAY:-0}" = 1 ]; then install_cluster_extra "$venv"; fi
    (cd "$VELTRIX_ROOT" && VELTRIX_CHECKS=ON "$venv/bin/python" -m pip install --quiet --no-build-isolation \
        -C "build-dir=$build_dir" "$@" "$VELTRIX_ROOT[test,rl]")
    echo "veltrix: ready after $((SECONDS - started)) s; $venv/bin/python has it" >&2
}

# Runs the native checks that prepare_venv built into the build directory of the venv at $1,
# on both move generators, through CTest. Extra arguments go to ctest.
run_native_checks() {
    local venv="$1" name="${1##*/}"
    shift
    local build_dir="${VELTRIX_BUILD_DIR:-build/${name#.}}"
    echo "=== native checks (ctest, $build_dir) ===" >&2
    (cd "$VELTRIX_ROOT" && "$venv/bin/ctest" --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "$@")
}

# Installs the requirements of the `cluster` extra (Ray) into the venv at $1. Where Ray cannot
# be installed for that Python, says so and goes on: the cluster tests then skip, saying why.
install_cluster_extra() {
    local venv="$1" requirements
    requirements="$("$venv/bin/python" -c 'import sys, tomllib
with open(sys.argv[1], "rb") as file:
    print(" ".join(tomllib.load(file)["project"]["optional-dependencies"]["cluster"]))' \
        "$VELTRIX_ROOT/pyproject.toml")"
    # shellcheck disable=SC2086 # one word per requirement
    "$venv/bin/python" -m pip install --quiet $requirements ||
        echo "Ray cannot be installed for $("$venv/bin/python" -V); the cluster tests will skip" >&2
}

# Prepares the environment ($VELTRIX_VENV, else .venv) and runs its Python with the arguments
# from the project's root; the calling script ends there.
exec_in_venv() {
    local python venv="${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}"
    python="$(find_python)"
    prepare_venv "$venv" "$python"
    cd "$VELTRIX_ROOT"
    exec "$venv/bin/python" "$@"
}
