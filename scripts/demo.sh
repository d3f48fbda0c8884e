#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the demo: a veltrix-match
# head-to-head between the bundled players (alpha-beta search against random moves) from the
# built-in openings, ending with the Elo difference. Extra arguments go to veltrix-match.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
printf -v python '%q' "${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}/bin/python"
exec_in_venv -m veltrix_match \
    "$python examples/players/search_player.py 3" "$python examples/players/random_player.py" \
    --games 200 --concurrency 2 --seed 1 "$@"
