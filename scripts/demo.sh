#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec_in_venv examples/demo.py "$@"
