#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs a network match over loopback.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec_in_venv examples/network_demo.py "$@"
