"""A player program that plays its openings and middle games simply and its endgames perfectly.

Usage: endgame_player.py EMPTIES [DEPTH [THINK_MS]] COLOUR

With more than EMPTIES empty squares it answers with veltrix's alpha-beta search on disc
count at DEPTH (default 1); from EMPTIES empty squares on it solves exactly (the same search
at full depth), so two such programs play every endgame perfectly, the same line every time.
THINK_MS (default 0) is waited before every answer, as a program using its clock would.
"""

import sys
import time

import veltrix


def main() -> None:
    args = sys.argv[1:]
    empties, depth, colour = int(args[0]), int(args[1]) if len(args) > 2 else 1, args[-1]
    think = int(args[2]) / 1000 if len(args) > 3 else 0.0
    turn = veltrix.Turn.WHITE if colour == "WHITE" else veltrix.Turn.BLACK
    midgame = veltrix.AlphaBetaSearch(veltrix.PieceEvaluator(), depth)
    exact = veltrix.AlphaBetaSearch(veltrix.PieceEvaluator(), 60)
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        board.set_board_str(line, turn)
        search = exact if line.count("-") <= empties else midgame
        if think:
            time.sleep(think)
        print(search.get_move(board), flush=True)


if __name__ == "__main__":
    main()
