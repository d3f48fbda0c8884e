"""veltrix_match: match statistics, openings and the veltrix-match command-line match runner.

- statistics: `score`, `elo_difference`, `los`, `draw_ratio`, `elo_from_score`;
- the SPRT: `Sprt` and `llr_pentanomial` (pentanomial pair results, logistic Elo);
- openings: `read_openings` (a file of transcripts), `load_openings` (that, or the games of a
  GGF or WTHOR file cut to a number of moves), `builtin_openings`;
- game records (GGF, WTHOR, JSONL): veltrix_match.records; NBoard engines as player
  programs: veltrix_match.nboard (the `veltrix-nboard` command);
- the work of a match: `Chunk`, `play_chunk`, `Executor`, `LocalExecutor` (see
  veltrix_match.chunks for the contract an executor keeps); the driver is `Match`;
- typed records and failures: `GameResult`, `Winner`, `MatchError` (`StartFailure`,
  `GameFailure`);
- `main`: the veltrix-match command (also `python -m veltrix_match`).
"""

from .chunks import Chunk, Executor, LocalExecutor, play_chunk
from .cli import main
from .errors import GameFailure, MatchError, StartFailure
from .match import Match, Program
from .openings import OpeningsError, builtin_openings, distinct_openings, load_openings, read_openings
from .results import GameResult, Winner
from .sprt import Sprt, SprtState, expected_score, llr_pentanomial
from .stats import draw_ratio, elo_difference, elo_from_score, format_elo, los, score

__all__ = [
    "Chunk",
    "Executor",
    "GameFailure",
    "GameResult",
    "LocalExecutor",
    "MatchError",
    "Match",
    "OpeningsError",
    "Program",
    "Sprt",
    "SprtState",
    "StartFailure",
    "Winner",
    "builtin_openings",
    "distinct_openings",
    "draw_ratio",
    "elo_difference",
    "elo_from_score",
    "expected_score",
    "format_elo",
    "llr_pentanomial",
    "load_openings",
    "los",
    "main",
    "play_chunk",
    "read_openings",
    "score",
]
