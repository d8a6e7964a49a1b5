"""Host package for corvina: simulation result models, settings and storage."""

__version__ = "0.1.0"
