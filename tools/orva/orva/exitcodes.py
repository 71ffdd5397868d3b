"""Exit statuses of every orva command."""

OK = 0
# Nothing was found, or a link failed.
FAILED = 1
# The command line was wrong (argparse uses the same).
USAGE = 2
