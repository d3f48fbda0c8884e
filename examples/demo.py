"""Plays one random game with veltrix's Board and prints the final position."""

import veltrix


def main() -> None:
    board = veltrix.Board()
    moves = 0
    while not board.is_game_over():
        if board.is_pass():
            board.do_pass()
            continue
        board.do_move(board.get_random_move())
        moves += 1
    print(board)
    winner = board.get_winner()
    print(f"{moves} moves; Black {board.black_piece_num()}, White {board.white_piece_num()}; "
          f"winner: {winner if winner is not None else 'draw'}")


if __name__ == "__main__":
    main()
