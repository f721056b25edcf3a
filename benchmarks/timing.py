"""Timing shared by the benchmark scripts."""
import gc
import time


def timed(fn):
    """Seconds one call of fn takes, with the collector kept out of the measurement."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn()
        return time.perf_counter() - start, result
    finally:
        gc.enable()
