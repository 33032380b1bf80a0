#!/usr/bin/python3
"""The stability computation as a plain numpy script, as a peer for stability_bench.

Reads the samples stability_bench writes beside its DICOM series
(/tmp/quelby-bench-stability/samples.i16: int16, frame after frame, slice after
slice, 64 x 64), then per slice: the mean, each voxel's quadratic fit in t by
np.polyfit, the fluctuation and SFNR images, the static noise image, the
centroid above half the 99th percentile and the Weisskoff courses of the
nested squares. Timed inside Python, without its start-up, median of repeats;
prints the centre slice's figures to set beside the bench's counters.

    /usr/bin/python3 bench/numpy_stability.py [REPEATS]
"""
import statistics
import sys
import time

import numpy as np

PATH = "/tmp/quelby-bench-stability/samples.i16"
SIDE, SLICES, FRAMES, ROI = 64, 27, 200, 21


def percent_fluctuation(course, t):
    fit = np.polyval(np.polyfit(t, course, 2), t)
    return 100 * np.sqrt(((course - fit) ** 2).sum() / (len(t) - 3)) / course.mean(), fit


def slice_figures(y, t):
    frames = len(t)
    signal = y.mean(axis=0)
    flat = y.reshape(frames, -1)
    fit = np.vander(t, 3) @ np.polyfit(t, flat, 2)
    fluctuation = np.sqrt(((flat - fit) ** 2).sum(axis=0) / (frames - 3)).reshape(SIDE, SIDE)
    sfnr = np.divide(signal, fluctuation, out=np.zeros_like(signal), where=fluctuation > 0)
    even = frames - frames % 2
    static = y[0:even:2].sum(axis=0) - y[1:even:2].sum(axis=0)
    rows, cols = np.nonzero(signal > np.percentile(signal, 99) / 2)
    cx, cy = int(np.floor(cols.mean() + 0.5)), int(np.floor(rows.mean() + 0.5))
    square = lambda n: (slice(cy - n // 2, cy - n // 2 + n), slice(cx - n // 2, cx - n // 2 + n))
    roi = square(ROI)
    mean_signal = signal[roi].mean()
    snr = mean_signal / np.sqrt(static[roi].var(ddof=1) / even)
    weisskoff = []
    for n in range(1, ROI + 1):
        rows_n, cols_n = square(n)
        f, course_fit = percent_fluctuation(y[:, rows_n, cols_n].mean(axis=(1, 2)), t)
        weisskoff.append(f)
    drift = 100 * (course_fit.max() - course_fit.min()) / y[:, roi[0], roi[1]].mean()
    return {"sfnr": sfnr[roi].mean(), "snr": snr, "fluctuation_pct": weisskoff[-1], "drift_pct": drift,
            "rdc": weisskoff[0] / weisskoff[-1]}


def run():
    samples = np.fromfile(PATH, dtype="<i2").reshape(FRAMES, SLICES, SIDE, SIDE).astype(np.float64)
    t = np.arange(FRAMES, dtype=np.float64)
    return [slice_figures(samples[:, s], t) for s in range(SLICES)]


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        figures = run()
        times.append(time.perf_counter() - start)
    print(f"numpy stability: median {statistics.median(times) * 1000:.1f} ms of {repeats}")
    print("centre slice:", {k: float(f"{v:.6g}") for k, v in figures[SLICES // 2].items()})


if __name__ == "__main__":
    main()
