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

# A picture of the source, one colour per motion (grey: no correspondence), saved as a PNG so that
# it works without a display too.
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("python3-matplotlib is not installed: no picture")
    sys.exit(0)
vertices, faces = source
labels = result.source_labels
face_labels = labels[faces[:, 0]]
palette = plt.get_cmap("tab20")
colours = [(0.6, 0.6, 0.6, 1.0) if l < 0 else palette(int(l) % 20) for l in face_labels]
figure = plt.figure(figsize=(6, 6))
axes = figure.add_subplot(projection="3d")
surface = axes.plot_trisurf(vertices[:, 0], vertices[:, 1], vertices[:, 2], triangles=faces, linewidth=0)
surface.set_facecolor(colours)
axes.set_axis_off()
axes.set_box_aspect(np.ptp(vertices, axis=0))
figure.savefig(f"{out_dir}/labels.png", dpi=100, bbox_inches="tight")
print(f"picture: {out_dir}/labels.png")
