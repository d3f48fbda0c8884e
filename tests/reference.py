"""A square-by-square model of the Reversi rules, independent of the bitboard engine."""

from __future__ import annotations

import dataclasses

EMPTY, BLACK, WHITE = 0, 1, 2
DIRECTIONS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


def bit(pos: int) -> int:
    return 1 << (63 - pos)


@dataclasses.dataclass
class RefBoard:
    cells: list[int]  # by square, EMPTY / BLACK / WHITE
    to_move: int  # BLACK or WHITE

    @classmethod
    def initial(cls) -> "RefBoard":
        cells = [EMPTY] * 64
        cells[27] = cells[36] = WHITE
        cells[28] = cells[35] = BLACK
        return cls(cells, BLACK)

    @classmethod
    def from_words(cls, player: int, opponent: int, black_to_move: bool) -> "RefBoard":
        me, other = (BLACK, WHITE) if black_to_move else (WHITE, BLACK)
        cells = [me if player & bit(p) else other if opponent & bit(p) else EMPTY for p in range(64)]
        return cls(cells, me)

    def copy(self) -> "RefBoard":
        return RefBoard(list(self.cells), self.to_move)

    @property
    def opponent(self) -> int:
        return BLACK + WHITE - self.to_move

    def flips(self, pos: int, mover: int | None = None) -> list[int]:
        mover = self.to_move if mover is None else mover
        other = BLACK + WHITE - mover
        if self.cells[pos] != EMPTY:
            return []
        row, col = divmod(pos, 8)
        flipped = []
        for dr, dc in DIRECTIONS:
            run = []
            r, c = row + dr, col + dc
            while 0 <= r < 8 and 0 <= c < 8 and self.cells[r * 8 + c] == other:
                run.append(r * 8 + c)
                r, c = r + dr, c + dc
            if run and 0 <= r < 8 and 0 <= c < 8 and self.cells[r * 8 + c] == mover:
                flipped += run
        return flipped

    def legal_moves(self, mover: int | None = None) -> list[int]:
        return [p for p in range(64) if self.flips(p, mover)]

    def play(self, pos: int) -> None:
        for p in self.flips(pos) + [pos]:
            self.cells[p] = self.to_move
        self.to_move = self.opponent

    def pass_turn(self) -> None:
        self.to_move = self.opponent

    def game_over(self) -> bool:
        return not self.legal_moves(BLACK) and not self.legal_moves(WHITE)

    def count(self, color: int) -> int:
        return self.cells.count(color)

    def words(self) -> tuple[int, int]:
        player = sum(bit(p) for p in range(64) if self.cells[p] == self.to_move)
        opponent = sum(bit(p) for p in range(64) if self.cells[p] == self.opponent)
        return player, opponent

    def line(self) -> str:
        return "".join("-XO"[c] for c in self.cells)

    def grid(self) -> str:
        rows = [" |abcdefgh", "-+--------"]
        rows += [f"{r + 1}|" + self.line()[r * 8:r * 8 + 8] for r in range(8)]
        return "\n".join(rows) + "\n"
