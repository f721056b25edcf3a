"""`python -m zanth`: the command line (see zanth.cli)."""

import sys

if __name__ == "__main__":
    from zanth.cli import main

    sys.exit(main())
