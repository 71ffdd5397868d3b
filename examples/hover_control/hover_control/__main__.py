import sys

from .loop import main

sys.exit(main(*sys.argv[1:]))
