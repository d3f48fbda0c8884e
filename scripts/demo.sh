#!/usr/bin/env bash
# Builds veltrix into its own virtual environment and runs the demo: a veltrix-match
# head-to-head between the bundled players (alpha-beta search against random moves) from the
# built-in openings, ending with the Elo difference. Extra arguments go to veltrix-match; its
# --seed (1 unless given) also seeds the random player, so a run with a given seed is repeated
# exactly.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
printf -v python '%q' "${VELTRIX_VENV:-$VELTRIX_ROOT/.venv}/bin/python"
seed=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
        --seed) seed="${args[i + 1]:-1}" ;;
        --seed=*) seed="${args[i]#--seed=}" ;;
    esac
done
printf -v seed '%q' "$seed"
exec_in_venv -m veltrix_match \
    "$python examples/players/search_player.py 3" "$python examples/players/random_player.py --seed $seed" \
    --games 200 --concurrency 2 --seed 1 "$@"
