"""The package logger."""

from __future__ import annotations

import logging

_LOGGER_NAME = "corvina"


def _install_null_handler() -> None:
    # A library must not configure logging for the application, but without
    # any handler the standard library falls back to printing warnings to
    # stderr. Guarded so a reload does not stack a second handler.
    logger = logging.getLogger(_LOGGER_NAME)
    if not any(isinstance(h, logging.NullHandler) for h in logger.handlers):
        logger.addHandler(logging.NullHandler())


_install_null_handler()


def get_logger() -> logging.Logger:
    """Return the ``corvina`` logger."""
    return logging.getLogger(_LOGGER_NAME)
