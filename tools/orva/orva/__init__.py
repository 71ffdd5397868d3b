"""orva: see which dongles and robots orvapy finds, scan for robots, measure a link.

Run ``orva --help``; each command has its own ``--help``.
"""

__version__ = "1.0a3"
