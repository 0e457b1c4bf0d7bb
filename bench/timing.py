"""The benchmarks' shared measuring: timed batches, per-call timings, paired
batches of two callables, and the figures' formats. Medians of repeated
batches, measured on a shared machine: compare them within a run."""

import statistics
import time


def measure(fn, batch, repeats=7, warmup=1, setup=None):
    """Seconds per call of fn(): median, min and max over `repeats` batches."""
    samples = []
    for i in range(warmup + repeats):
        if setup:
            setup()
        start = time.perf_counter()
        for _ in range(batch):
            fn()
        elapsed = (time.perf_counter() - start) / batch
        if i >= warmup:
            samples.append(elapsed)
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "batch": batch,
            "repeats": repeats}


def measure_each(fns, repeats=5):
    """Seconds per call when every call needs its own input: fns is a list of
    zero-argument callables, timed one by one; median/min/max per call."""
    samples = []
    for fn in fns:
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    samples = samples[len(samples) // 10:]  # the first tenth warms up
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "calls": len(samples)}


def us(seconds):
    return f"{seconds * 1e6:,.1f} µs"


def ms(seconds):
    return f"{seconds * 1e3:,.3f} ms"


def paired(a, b, batch, rounds):
    """Seconds per call of a() and b(), timed in alternating batches (the
    order switching every round), and the median over the rounds of
    time(b) / time(a): above 1, a is the faster."""
    times_a, times_b, ratios = [], [], []
    for i in range(rounds + 1):
        timed = {}
        for name, fn in ((("a", a), ("b", b)) if i % 2 else (("b", b), ("a", a))):
            start = time.perf_counter()
            for _ in range(batch):
                fn()
            timed[name] = (time.perf_counter() - start) / batch
        if i == 0:
            continue  # warm-up
        times_a.append(timed["a"])
        times_b.append(timed["b"])
        ratios.append(timed["b"] / timed["a"])
    return {"a": statistics.median(times_a), "b": statistics.median(times_b), "ratio": statistics.median(ratios),
            "ratio_min": min(ratios), "ratio_max": max(ratios), "batch": batch, "rounds": rounds}
