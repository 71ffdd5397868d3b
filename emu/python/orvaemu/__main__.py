import sys

from .launcher import main

sys.exit(main(sys.argv[1:]))
