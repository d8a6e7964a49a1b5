"""The command line's former home, kept for ``python -m corvina.simulations`` and old imports."""

import sys

from corvina.cli.browse import format_listing
from corvina.cli.main import main

__all__ = ["format_listing", "main"]

if __name__ == "__main__":
    sys.exit(main())
