"""Round-trip times as percentiles and a text histogram."""
import math
from typing import Dict, List, Sequence

PERCENTILES = (50, 90, 99)
BAR_WIDTH = 40


def percentile(sorted_times: Sequence[float], percent: float) -> float:
    """The nearest-rank percentile of ascending times (not interpolated)."""
    if not sorted_times:
        raise ValueError("no times")
    rank = max(1, math.ceil(percent / 100 * len(sorted_times)))
    return sorted_times[rank - 1]


def summary(times_ms: Sequence[float]) -> Dict[str, float]:
    """min, p50, p90, p99 and max of the times, in milliseconds."""
    ordered = sorted(times_ms)
    result = {"min": ordered[0]}
    for percent in PERCENTILES:
        result[f"p{percent}"] = percentile(ordered, percent)
    result["max"] = ordered[-1]
    return result


def histogram(times_ms: Sequence[float], bins: int = 10) -> List[str]:
    """One line per bin of equal width between the shortest and the longest
    time: its range, a bar scaled to the fullest bin, and its count."""
    low, high = min(times_ms), max(times_ms)
    width = (high - low) / bins or 1.0
    counts = [0] * bins
    for time in times_ms:
        counts[min(bins - 1, int((time - low) / width))] += 1
    fullest = max(counts)
    lines = []
    for index, count in enumerate(counts):
        start = low + index * width
        bar = "#" * math.ceil(BAR_WIDTH * count / fullest) if count else ""
        lines.append(f"{start:8.2f} - {start + width:8.2f} ms |{bar:<{BAR_WIDTH}}| {count}")
    return lines
