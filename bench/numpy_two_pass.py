#!/usr/bin/python3
"""The plain numpy computation a physicist would script, as a peer for the run.

For each series folder: the mean of the samples over the files, then the sum of
squared deviations from it, both in double, reading each file the way the run
does (open, one positioned read of the last 131,072 bytes, close) in both
passes; then noise, SNR and g. Timed inside Python, without its start-up, on
the demo pairs that `run_bench` writes (/tmp/quelby-bench-N), median of repeats.

    /usr/bin/python3 bench/numpy_two_pass.py 50 64 100 128 200
"""
import os
import statistics
import sys
import tempfile
import time

import numpy as np

IMAGE_BYTES = 256 * 256 * 2


def read_image(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        data = os.pread(fd, IMAGE_BYTES, size - IMAGE_BYTES)
    finally:
        os.close(fd)
    return np.frombuffer(data, dtype="<i2")


def series_maps(folder):
    paths = [os.path.join(folder, name) for name in sorted(os.listdir(folder))]
    total = np.zeros(256 * 256)
    for path in paths:
        total += read_image(path)
    mean = total / len(paths)
    squares = np.zeros(256 * 256)
    for path in paths:
        deviation = read_image(path) - mean
        squares += deviation * deviation
    noise = np.sqrt(squares / (len(paths) - 1))
    with np.errstate(divide="ignore", invalid="ignore"):
        snr = np.where(noise != 0, mean / noise, 0.0)
    return snr


def g_factor_run(root, reduction=2.0):
    snr_a = series_maps(os.path.join(root, "SeriesA"))
    snr_b = series_maps(os.path.join(root, "SeriesB"))
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(snr_b != 0, 100.0 * snr_a / (np.sqrt(reduction) * snr_b), 0.0)


def main():
    for files in sys.argv[1:] or ["50", "64", "100", "128", "200"]:
        root = os.path.join(tempfile.gettempdir(), "quelby-bench-" + files)
        if not os.path.isdir(os.path.join(root, "SeriesB")):
            sys.exit(root + " is missing: run build/bench/bench/run_bench once first")
        g_factor_run(root)  # warm the page cache
        times = []
        for _ in range(15):
            start = time.perf_counter()
            g_factor_run(root)
            times.append(time.perf_counter() - start)
        print(f"numpy two-pass g-factor run, files:{files}  median {statistics.median(times) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
