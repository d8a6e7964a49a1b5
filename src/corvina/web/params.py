"""What a page may ask, checked before the store sees it.

The query text is parsed by `corvina.cli.where` (the ``--where`` forms and
the JSON form) and checked by the store; the fields a table shows, the
results a page selects and the counts it pages by are bounded here. Errors a
user can fix raise `BadRequest` with a message meant for them (the store's
own words where the store refused); a result that is not there raises
`Missing`.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from corvina.cli import common, store, where

ID = store.ID
# A regular expression is compiled and run against every record; Python's
# engine has no time limit, so the length of what a page may send is bounded.
MAX_REGEX_CHARS = 256
MAX_QUERY_CHARS = 20_000
DEFAULT_LIMIT = 50
MAX_LIMIT = 10_000
# The most results one overlay draws (and "all matches" selects).
MAX_OVERLAY = 500


class BadRequest(ValueError):
    """The request asks for something the store refuses; the message says why."""


class Missing(LookupError):
    """No result with that ID in the store."""


def _regex_lengths(query: Any) -> Iterable[int]:
    """The length of every ``$regex`` pattern in a query, found without recursion."""
    stack = [query]
    while stack:
        item = stack.pop()
        if isinstance(item, dict):
            for key, value in item.items():
                if key == "$regex" and isinstance(value, str):
                    yield len(value)
                else:
                    stack.append(value)
        elif isinstance(item, list):
            stack.extend(item)


def parse_where(texts: Sequence[str]) -> dict[str, Any] | None:
    """The query the page's ``where`` texts make together (None: none), checked by the store.

    A text is the JSON form (it starts with ``{``) or ``--where``
    expressions, several separated by ``;`` or new lines; a line of its own
    that starts with ``{`` is the JSON form too. Every part must hold.
    """
    parts: list[dict[str, Any]] = []
    try:
        for text in texts:
            if len(text) > MAX_QUERY_CHARS:
                raise BadRequest(f"the query is longer than {MAX_QUERY_CHARS:,} characters")
            stripped = text.strip()
            if stripped.startswith("{"):
                parts.append(where.parse_json_query(stripped))
                continue
            for line in stripped.splitlines():
                line = line.strip()
                if line.startswith("{"):
                    parts.append(where.parse_json_query(line))
                    continue
                parts.extend(where.parse_expression(piece) for piece in line.split(";") if piece.strip())
    except RecursionError:
        raise BadRequest("the query is nested too deeply") from None
    except BadRequest:
        raise
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    query = where.combine(parts)
    if query is None:
        return None
    longest = max(_regex_lengths(query), default=0)
    if longest > MAX_REGEX_CHARS:
        raise BadRequest(
            f"a regular expression of {longest:,} characters is longer than the "
            f"{MAX_REGEX_CHARS} this browser runs"
        )
    from corvina.core import simulation_storage as storage

    try:
        storage.check_query(query)
    except RecursionError:
        raise BadRequest("the query is nested too deeply") from None
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    return query


def parse_fields(text: str | None) -> list[str] | None:
    """``fields=a,b.c``: paths a query could name, in order (None: the default columns)."""
    if text is None or not text.strip():
        return None
    try:
        paths = where.parse_columns(text)
    except ValueError as exc:
        raise BadRequest(str(exc)) from None
    from corvina.cli import queries

    try:
        queries.check_paths(paths, option="fields")
    except common.UsageError as exc:
        raise BadRequest(str(exc)) from None
    return paths


def parse_ids(text: str | None) -> list[str]:
    """``select=ID,ID``: full 16-hex IDs, in order, without repeats."""
    if not text:
        return []
    ids = [part.strip() for part in text.split(",") if part.strip()]
    bad = [i for i in ids if not ID.fullmatch(i)]
    if bad:
        raise BadRequest(f"{bad[0][:40]!r} is not a simulation ID ({common.ID_LENGTH} lowercase hexadecimal digits)")
    ids = list(dict.fromkeys(ids))
    if len(ids) > MAX_OVERLAY:
        raise BadRequest(f"{len(ids):,} results selected: at most {MAX_OVERLAY} at once")
    return ids


def parse_count(text: str | None, name: str, default: int, lowest: int, highest: int) -> int:
    if text is None or text == "":
        return default
    try:
        number = int(text)
    except ValueError:
        raise BadRequest(f"{name}={text[:40]!r} is not a whole number") from None
    if not lowest <= number <= highest:
        raise BadRequest(f"{name} must lie between {lowest:,} and {highest:,}")
    return number
