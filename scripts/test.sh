#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the whole test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# The cluster tests need Ray; VELTRIX_WITH_RAY=0 leaves it out.
export VELTRIX_WITH_RAY="${VELTRIX_WITH_RAY:-1}"
exec_in_venv -m pytest "$@"
