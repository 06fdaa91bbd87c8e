"""`python -m lorvane`: the `lorvane` command."""

import sys

from .cli import main

sys.exit(main())
