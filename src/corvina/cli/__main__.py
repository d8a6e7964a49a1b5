"""``python -m corvina.cli``: the command line."""

import sys

from corvina.cli.main import main

sys.exit(main())
