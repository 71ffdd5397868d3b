"""Plain text tables for the terminal."""
from typing import List, Sequence


def render(header: Sequence[str], rows: Sequence[Sequence[str]]) -> List[str]:
    """Left-aligned columns two blanks apart, without trailing blanks."""
    widths = [max(len(str(row[column])) for row in [header, *rows]) for column in range(len(header))]
    return ["  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip()
            for row in [header, *rows]]
