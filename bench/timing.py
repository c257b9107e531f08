"""Timing shared by the benchmark scripts."""
import time


def best_ms(fn, repeats):
    """Best time of `repeats` calls of fn(), in milliseconds."""
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best * 1e3
