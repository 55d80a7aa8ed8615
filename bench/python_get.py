#!/usr/bin/env python3
"""The cost of a get through the Python package: microseconds per
``safe[name]`` (bytes out, through a kel_secret) and per ``get_into`` (the
caller's bytearray) of a small value, the median of several runs, in CPU
time and wall time. Set them beside kel_safe_bench's BM_GetEntry/64/0 (the
C++ call) and BM_CApiGet (the C call); the package is worth keeping as it
is while it stays within twice the C++ call.

    KEL_SAFE_LIBRARY=build/libkel-safe.so.1 PYTHONPATH=python bench/python_get.py
"""

import os
import statistics
import tempfile
import time

import kel_safe

PASSWORD = "Bench-Passw0rd-2024!"
CALLS = 5000
RUNS = 7


def per_call(work):
    cpu, wall = [], []
    for _ in range(RUNS):
        began_cpu, began_wall = time.process_time(), time.perf_counter()
        for _ in range(CALLS):
            work()
        cpu.append((time.process_time() - began_cpu) / CALLS * 1e6)
        wall.append((time.perf_counter() - began_wall) / CALLS * 1e6)
    return statistics.median(cpu), statistics.median(wall)


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench")
        with kel_safe.create(path, PASSWORD, kdf_memory_kib=19 * 1024, kdf_passes=2) as safe:
            for size in (32, 256):
                name = "value-%d" % size
                safe[name] = os.urandom(size)
                buffer = bytearray(size)
                for label, work in (("safe[name]", lambda: safe[name]),
                                    ("get_into", lambda: safe.get_into(name, buffer))):
                    cpu, wall = per_call(work)
                    print("%-10s %4d bytes: %6.2f us CPU, %6.2f us wall per call"
                          % (label, size, cpu, wall))


if __name__ == "__main__":
    main()
