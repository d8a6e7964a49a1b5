"""The command line's short form of a query, and fields picked out of records.

``--where`` takes ``PATH OP VALUE``: a field's dotted path, an operator and
a value, for example ``component_settings.gap>=0.1``, ``status!=success``,
``component_name~^ring`` or ``component_settings.gap in 0.1,0.2``. Each
becomes one condition of the store's query language, so the store checks and
evaluates it exactly as it does a query written in Python; nothing here
decides what matches.

A value is read as JSON where it parses (``0.1`` is a number, ``true`` a
boolean, ``null`` null, ``"0.1"`` a text) and as text otherwise (``success``,
``2026-12-01``). NaN and Infinity are not JSON, so ``NaN`` is the text.

This module needs nothing of the store and raises ValueError; the commands
turn that into a usage error.
"""

from __future__ import annotations

import json
import re
from typing import Any

__all__ = [
    "MISSING",
    "OPERATORS",
    "combine",
    "parse_columns",
    "parse_expression",
    "parse_json_query",
    "parse_value",
    "value_at",
]

# Expression operator -> the query language's operator.
OPERATORS = {
    "=": "$eq",
    "!=": "$ne",
    "<": "$lt",
    "<=": "$lte",
    ">": "$gt",
    ">=": "$gte",
    "in": "$in",
    "~": "$regex",
}

# The path runs up to the first operator character or blank; `in` needs a
# blank on either side, so a path may contain the letters i and n.
_EXPRESSION = re.compile(
    r"\s*(?P<path>[^\s=!<>~]+)\s*"
    r"(?:(?P<symbol><=|>=|!=|=|<|>|~)|\s(?P<word>in)\s)"
    r"(?P<value>.*)",
    re.DOTALL,
)


class _NotJson(ValueError):
    pass


def _refuse_constant(name: str) -> Any:
    raise _NotJson(name)


def parse_value(text: str) -> Any:
    """The JSON value the text spells, or the text itself (without surrounding blanks)."""
    text = text.strip()
    try:
        return json.loads(text, parse_constant=_refuse_constant)
    except ValueError:  # JSONDecodeError and _NotJson alike
        return text


def _items(text: str) -> list[Any]:
    value = parse_value(text)
    if isinstance(value, list):  # `in [0.1, "a,b"]`: a JSON array as it is
        return value
    if not text.strip():
        return []
    return [parse_value(item) for item in text.split(",")]


def parse_expression(text: str) -> dict[str, Any]:
    """One ``--where`` expression as a query of one condition.

    ValueError when the text is not ``PATH OP VALUE``. Whether the path names
    a field, or the value suits the operator, is the store's to say.
    """
    match = _EXPRESSION.fullmatch(text)
    if match is None:
        raise ValueError(
            f"{text!r} is not PATH OP VALUE (operators: =, !=, <, <=, >, >=, in, ~), "
            "for example component_settings.gap>=0.1"
        )
    path, raw = match["path"], match["value"]
    op = match["symbol"] or match["word"]
    if op == "in":
        value: Any = _items(raw)
    elif op == "~":
        # A pattern is a text whatever it looks like (`~1`); a JSON text
        # keeps blanks at its ends.
        value = parse_value(raw)
        if not isinstance(value, str):
            value = raw.strip()
    else:
        value = parse_value(raw)
    # Equality as `$eq`: a bare dict value would be read as operators.
    return {path: {OPERATORS[op]: value}}


def parse_json_query(text: str) -> dict[str, Any]:
    """A ``--where-json`` text: a JSON object in the full query language."""
    try:
        value = json.loads(text, parse_constant=_refuse_constant)
    except ValueError as exc:
        raise ValueError(f"{text!r} is not a JSON object: {exc}") from None
    if not isinstance(value, dict):
        raise ValueError(f"{text!r} is not a JSON object (a query maps field paths to conditions)")
    return value


def combine(queries: list[dict[str, Any]]) -> dict[str, Any] | None:
    """One query that holds where every query holds; None for no query at all."""
    if not queries:
        return None
    if len(queries) == 1:
        return queries[0]
    # `$and` rather than one merged dict: two conditions on one path
    # (gap>=0.1, gap<=0.2) would overwrite each other in a dict.
    return {"$and": list(queries)}


def parse_columns(text: str) -> list[str]:
    """``--columns a,b.c``: the field paths, in order, without repeats."""
    paths = [part.strip() for part in text.split(",")]
    if not all(paths):
        raise ValueError(f"{text!r} is not a comma-separated list of field paths")
    return list(dict.fromkeys(paths))


class _Missing:
    def __repr__(self) -> str:
        return "MISSING"


MISSING: Any = _Missing()
_INDEX = re.compile(r"0|[1-9][0-9]{0,17}")


def value_at(data: Any, path: str) -> Any:
    """The value at a dotted path in a record's JSON form, or MISSING.

    Keys name entries of objects and indexes entries of lists, as in a
    query: decimal digits without a leading zero (``01`` names no entry).
    """
    for part in path.split("."):
        if isinstance(data, dict):
            if part not in data:
                return MISSING
            data = data[part]
        elif isinstance(data, list) and _INDEX.fullmatch(part):
            index = int(part)
            if index >= len(data):
                return MISSING
            data = data[index]
        else:
            return MISSING
    return data
