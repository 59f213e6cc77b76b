"""Run the command as `python -m zarn_limiter_cli`."""

import sys

from . import main

sys.exit(main())
