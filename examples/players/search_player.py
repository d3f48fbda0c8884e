"""A player program that picks its moves with veltrix's alpha-beta search on disc count.

The arena runs it as: search_player.py [DEPTH] COLOUR (DEPTH defaults to 3; COLOUR is
"BLACK" or "WHITE").
"""

import sys

import veltrix


def main() -> None:
    depth = int(sys.argv[1]) if len(sys.argv) > 2 else 3
    turn = veltrix.Turn.WHITE if sys.argv[-1] == "WHITE" else veltrix.Turn.BLACK
    search = veltrix.AlphaBetaSearch(veltrix.PieceEvaluator(), depth)
    board = veltrix.Board()
    for line in sys.stdin:
        line = line.strip()
        if line == "ping":
            print("pong", flush=True)
            continue
        board.set_board_str(line, turn)
        print(search.get_move(board), flush=True)


if __name__ == "__main__":
    main()
