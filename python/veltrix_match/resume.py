"""--resume: carrying on a match from its JSONL file after an interruption or a crash.

Every game record written by veltrix-match carries the match's seed and a fingerprint of the
settings that decide which games are played and how they are scored (programs and their
commands, games per pairing, the openings in play order, time limit, forfeits, gauntlet, SPRT
bounds, adjudication). A resumed match must have the same fingerprint: the file is refused
otherwise, with the differences named: from the file's summary when it has one, else from
the settings the first game line of the file spells out (key "settings", in the summary's
words; files of older versions lack it), and from the games themselves (names of each
pairing, the opening of each game).

The file is cleaned before games are added to it: a last line cut short (the runner was
killed mid-write) is dropped and its game played again, and summary objects of earlier runs
are removed, so that the file ends, as always, with one summary covering the whole match.
The cleaned file is written beside the old one and renamed over it, so a crash at that
moment loses nothing either.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

from .results import GameResult

__all__ = ["SETTINGS_KEY", "ResumeError", "Resumed", "clean", "fingerprint", "openings_digest", "read_resume",
           "refusal", "settings_record"]

#: The key, in the first game line of a match file, of the settings behind the fingerprint.
SETTINGS_KEY = "settings"

#: Game fields that are not part of the arena's record (added when written out).
_WRITTEN_ONLY = ("type", "program1", "program2", "seed", "match", SETTINGS_KEY)


class ResumeError(ValueError):
    """The file cannot be resumed: unreadable, or from a different match."""


@dataclass
class Resumed:
    """What an earlier run left in the file."""

    path: Path
    games: list[GameResult] = field(default_factory=list)
    names: dict[int, tuple[str, str]] = field(default_factory=dict)  # pairing -> its names
    seed: int | None = None
    fingerprint: str | None = None
    summary: dict[str, Any] | None = None
    settings: dict[str, Any] | None = None  # as the first game line spells them out
    cut_line: bool = False
    lines: list[str] = field(default_factory=list)  # the game lines kept, as written


def fingerprint(settings: dict[str, Any]) -> str:
    """A short digest of the settings (JSON with sorted keys)."""
    text = json.dumps(settings, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def openings_digest(openings: Sequence[str]) -> str:
    return hashlib.sha256("\n".join(openings).encode()).hexdigest()[:16]


def settings_record(identity: dict[str, Any], openings_file: str | None, openings_order: str) -> dict[str, Any]:
    """The settings behind a fingerprint's `identity`, under the keys the summary gives them,
    so that `refusal` names what differs from either in the same words."""
    sprt = identity["sprt"]
    return {
        "programs": identity["programs"],
        "commands": identity["commands"],
        "games_per_pairing": identity["games"],
        "time_limit": identity["time_limit"],
        "forfeit": identity["forfeit"],
        "gauntlet": identity["gauntlet"],
        "openings_file": openings_file,
        "openings_order": openings_order,
        "adjudicate_empties": identity.get("adjudicate_empties"),
        "sprt": dict(zip(("elo0", "elo1", "alpha", "beta"), sprt)) if sprt else None,
    }


def read_resume(path: str | Path) -> Resumed:
    """Reads the file of an earlier run; raises ResumeError when it cannot be used."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise ResumeError(f"cannot read {path}: {error}") from None
    resumed = Resumed(path)
    lines = text.split("\n")
    cut = lines.pop()
    if cut != "":
        resumed.cut_line = True  # no newline after it: the write was cut short
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except json.JSONDecodeError:
            raise ResumeError(f"{path}:{number}: not a JSON object; is this a veltrix-match file?") from None
        kind = record.get("type") if isinstance(record, dict) else None
        if kind == "summary":
            resumed.summary = record
            if resumed.fingerprint is None and "match" in record:
                resumed.fingerprint, resumed.seed = record["match"], record.get("seed")
        elif kind == "game":
            _add_game(resumed, record, path, number)
            resumed.lines.append(line)
    if not resumed.games and resumed.summary is None and not _killed_before_a_game(lines, cut):
        raise ResumeError(f"{path} holds no game and no summary of a veltrix-match run")
    return resumed


def _killed_before_a_game(lines: list[str], cut: str) -> bool:
    """Whether the file is what a runner killed before its first game was written leaves:
    nothing, or the start of a first game line. Such a match is resumed from its start
    (with the --seed given now: the file never got the seed)."""
    return not any(line.strip() for line in lines) and (not cut.strip() or cut.startswith('{"type": "game"'))


def _add_game(resumed: Resumed, record: dict[str, Any], path: Path, number: int) -> None:
    if "match" not in record or "game" not in record:
        raise ResumeError(f"{path}:{number}: a game record without the match's fingerprint "
                          "(written by an older veltrix-match?); it cannot be resumed")
    if resumed.games and resumed.fingerprint != record["match"]:
        raise ResumeError(f"{path}:{number}: games of two different matches in one file")
    resumed.fingerprint = record["match"]
    resumed.seed = record.get("seed")
    resumed.names.setdefault(record["pairing"], (record["program1"], record["program2"]))
    if resumed.settings is None and isinstance(record.get(SETTINGS_KEY), dict):
        resumed.settings = record[SETTINGS_KEY]
    game = {key: value for key, value in record.items() if key not in _WRITTEN_ONLY}
    resumed.games.append(cast(GameResult, game))


def refusal(resumed: Resumed, match_id: str, settings: dict[str, Any], seed: int,
            pairings: dict[int, tuple[str, str]], opening_of: dict[int, str]) -> str | None:
    """Why the file cannot be continued as match `match_id`, or None when it can.

    `settings` are the present ones, to name what differs from the file's summary (or,
    without one, from the settings its first game line spells out).
    """
    if resumed.fingerprint is None or resumed.fingerprint == match_id:
        if resumed.seed is None or resumed.seed == seed:
            return None
    differences = []
    if resumed.seed is not None and resumed.seed != seed:
        differences.append(f"seed {resumed.seed} in the file, {seed} now")
    summary = resumed.summary or resumed.settings or {}
    compare = [
        ("programs", summary.get("programs"), settings["programs"]),
        ("commands", summary.get("commands"), settings["commands"]),
        ("games per pairing", summary.get("games_per_pairing"), settings["games"]),
        ("time limit", summary.get("time_limit"), settings["time_limit"]),
        ("forfeit", summary.get("forfeit"), settings["forfeit"]),
        ("gauntlet", summary.get("gauntlet"), settings["gauntlet"]),
        ("openings file", summary.get("openings_file", "-"), settings["openings_file"]),
        ("openings order", summary.get("openings_order", "sequential"), settings["openings_order"]),
        ("adjudication", summary.get("adjudicate_empties"), settings["adjudicate_empties"]),
    ]
    if summary:
        for label, before, now in compare:
            if before != now:
                differences.append(f"{label} {_show(before)} in the file, {_show(now)} now")
        sprt = summary.get("sprt")
        before_sprt = [sprt[key] for key in ("elo0", "elo1", "alpha", "beta")] if sprt else None
        if before_sprt != settings["sprt"]:
            differences.append(f"SPRT {_show(before_sprt)} in the file, {_show(settings['sprt'])} now")
    for pairing, names in sorted(resumed.names.items()):
        if pairings.get(pairing) != names:
            now = " vs ".join(pairings[pairing]) if pairing in pairings else "no such pairing"
            differences.append(f"pairing {pairing + 1} is {' vs '.join(names)} in the file, {now} now")
            break
    for game in resumed.games:
        expected = opening_of.get(game["game"])
        if expected is None:
            differences.append(f"game {game['game'] + 1} in the file is beyond this match's games")
            break
        if expected.lower() != game["opening"].lower():
            differences.append(f"game {game['game'] + 1} opened with {game['opening'] or 'the start'} "
                               f"in the file, {expected or 'the start'} now")
            break
    if not differences:
        differences.append("the settings that decide the games (commands, time limit, forfeits, "
                           "openings, SPRT or adjudication) differ")
    return f"{resumed.path} is from a different match: " + "; ".join(differences)


def _show(value: Any) -> str:
    return json.dumps(value) if not isinstance(value, str) else repr(value)


def clean(resumed: Resumed) -> None:
    """Rewrites the file with its game lines only (no summary, no cut line)."""
    temporary = resumed.path.with_name(resumed.path.name + ".resume-tmp")
    try:
        with open(temporary, "w", encoding="utf-8") as file:
            file.writelines(line + "\n" for line in resumed.lines)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, resumed.path)
    except OSError as error:
        temporary.unlink(missing_ok=True)
        raise ResumeError(f"cannot rewrite {resumed.path}: {error.strerror or error}") from None
