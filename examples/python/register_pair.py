"""Registers two shape files from Python and saves the result.

    PYTHONPATH=build/python python3 examples/python/register_pair.py \
        examples/figure/figure-000.obj examples/figure/figure-001.obj out
"""
import sys

import numpy as np

import veltrix

source_file, target_file, out_dir = sys.argv[1:4]
source = veltrix.read_mesh(source_file)  # (vertices n x 3, faces m x 3)
target = veltrix.read_mesh(target_file)

# Any parameter of the parameter file can be given by name after the preset.
result = veltrix.register(*source, *target, preset="figure", seed=1, maxNumLabels_GC=10)

used, counts = np.unique(result.source_labels, return_counts=True)
for label, count in zip(used, counts):
    print("no correspondence" if label < 0 else f"motion {label}", f"{count} source vertices")
print(f"maximum symmetric Hausdorff error {result.hausdorff:.4g}")
result.export(out_dir)                   # source.ply, target.ply, correspondences.csv, summary.json
result.save(f"{out_dir}/result.gc")      # readable by veltrix-batch and veltrix.read_result
