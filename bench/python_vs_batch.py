"""Times the Python module against veltrix-batch on the demo pair, same settings and seed, in one run.

    PYTHONPATH=build/python python3 bench/python_vs_batch.py build/programs/veltrix-batch [repeats]

Both sides include reading the shapes and computing their frames (no caches); the module's side
starts from the arrays already in memory, veltrix-batch's from the files.
"""
import os
import subprocess
import sys
import tempfile
import time

import veltrix

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "examples", "figure", "figure-000.obj")
TARGET = os.path.join(ROOT, "examples", "figure", "figure-001.obj")
PRESET = os.path.join(ROOT, "examples", "params", "demo.xml")


def main():
    batch = sys.argv[1]
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    shapes = veltrix.read_mesh(SOURCE) + veltrix.read_mesh(TARGET)
    module_times, batch_times = [], []
    for _ in range(repeats):  # interleaved, so that both sides see the same machine load
        start = time.perf_counter()
        r = veltrix.register(*shapes, preset=PRESET, seed=1)
        module_times.append(time.perf_counter() - start)
        with tempfile.TemporaryDirectory() as out:
            start = time.perf_counter()
            subprocess.run([batch, "register", SOURCE, TARGET, "--preset", PRESET, "--seed", "1",
                            "--out", os.path.join(out, "r")], check=True, capture_output=True)
            batch_times.append(time.perf_counter() - start)
    m, b = min(module_times), min(batch_times)
    print(f"labels {len(r.motions)}, hausdorff {r.hausdorff:.4f}")
    print(f"module {m:.2f} s, veltrix-batch {b:.2f} s (best of {repeats}), ratio {m / b:.2f}")


if __name__ == "__main__":
    main()
