"""The Python module: the same registration as the command line, and refusals of bad input."""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import veltrix

FIGURE = os.path.join(os.environ["VELTRIX_EXAMPLES"], "figure")
SOURCE = os.path.join(FIGURE, "figure-000.obj")
TARGET = os.path.join(FIGURE, "figure-001.obj")


@pytest.fixture(scope="module")
def shapes():
    return veltrix.read_mesh(SOURCE) + veltrix.read_mesh(TARGET)


@pytest.fixture(scope="module")
def result(shapes):
    return veltrix.register(*shapes, preset="figure", seed=1, threads=2)


def test_read_mesh_gives_the_file_as_arrays(shapes):
    vertices, faces = shapes[0], shapes[1]
    assert vertices.shape == (3080, 3) and vertices.dtype == np.float64
    assert faces.shape == (6156, 3) and faces.dtype == np.int32
    np.testing.assert_allclose(vertices[0], [-0.0337432, -0.0447406, -0.141351], rtol=1e-6)
    assert faces.min() == 0 and faces.max() == 3079
    with pytest.raises(RuntimeError, match="missing.obj"):
        veltrix.read_mesh(os.path.join(FIGURE, "missing.obj"))


def test_round_trip_through_files_equals_the_in_memory_call(result, tmp_path):
    out = tmp_path / "files"
    subprocess.run([os.environ["VELTRIX_BATCH"], "register", SOURCE, TARGET, "--preset", "figure",
                    "--seed", "1", "--out", str(out)], check=True, capture_output=True)
    result.save(str(tmp_path / "memory.gc"))
    assert (tmp_path / "memory.gc").read_bytes() == (out / "result.gc").read_bytes()
    result.export(str(tmp_path / "exports"))
    for name in ("correspondences.csv", "source.ply", "target.ply"):
        assert (tmp_path / "exports" / name).read_bytes() == (out / name).read_bytes(), name
    with pytest.raises(RuntimeError):
        result.export(str(tmp_path / "exports"))  # exists, no overwrite
    reread = veltrix.read_result(out / "result.gc", SOURCE, TARGET, preset="figure")
    np.testing.assert_array_equal(reread.source_labels, result.source_labels)
    np.testing.assert_array_equal(reread.target_labels, result.target_labels)
    np.testing.assert_allclose(reread.motions, result.motions)
    assert reread.hausdorff == pytest.approx(result.hausdorff)


def test_result_arrays_agree_with_each_other(result, shapes):
    source, target = shapes[0], shapes[2]
    k = len(result.motions)
    assert result.motions.shape == (k, 4, 4) and k >= 5  # one motion per rigid part at least
    for labels, shape in ((result.source_labels, source), (result.target_labels, target)):
        assert labels.shape == (len(shape),) and labels.min() >= -1 and labels.max() < k
    moved = np.einsum("vij,vj->vi", result.motions[result.source_labels.clip(0)],
                      np.c_[source, np.ones(len(source))])[:, :3]
    expected = np.where((result.source_labels >= 0)[:, None], moved, source)
    np.testing.assert_allclose(result.source_moved, expected, atol=1e-5)
    diagonal = np.linalg.norm(target.max(0) - target.min(0))
    assert 0 < result.hausdorff < 0.05 * diagonal
    assert len(result.times) == 5 and "Starting graph cut optimization" in result.log


def test_bad_arrays_and_parameters_raise_naming_them(shapes):
    sv, sf, tv, tf = shapes
    nan = sv.copy()
    nan[7, 1] = np.nan
    bad = [((sv[:, :2], sf, tv, tf), {}, "src_vertices"),
           ((nan, sf, tv, tf), {}, "src_vertices: row 7"),
           ((sv, sf, tv, tf + 1), {}, "tgt_faces: index 3080"),
           ((sv, -sf, tv, tf), {}, "src_faces: index"),
           ((sv, sf.astype(float), tv, tf), {}, "src_faces"),
           ((sv, sf, tv, tf), {"radius_Ms": 1, "nonsense": 2}, "radius_Ms, nonsense"),
           ((sv, sf, tv, tf), {"rootDir": "x"}, "rootDir"),
           ((sv, sf, tv, tf), {"radius_MS": "wide"}, "radius_MS"),
           ((sv, sf, tv, tf), {"maxNumLabels_GC": 2.5}, "maxNumLabels_GC"),
           ((sv, sf, tv, tf), {"scaleFactors_PC": 4}, "scaleFactors_PC"),
           ((sv, sf, tv, tf), {"preset": "none.xml"}, "none.xml")]
    for arrays, params, message in bad:
        with pytest.raises(ValueError, match=message):
            veltrix.register(*arrays, **params)


def test_demo_pair_from_arrays_gives_the_demo_result(shapes):
    demo = os.path.join(os.environ["VELTRIX_EXAMPLES"], "params", "demo.xml")
    sv, sf, tv, tf = shapes  # the target in other layouts and types, which are converted
    r = veltrix.register(sv, sf, np.asfortranarray(tv), tf.astype(np.uint64), preset=demo, seed=1, threads=2)
    # Five labels, one per rigid part, on both shapes; the error 1.02 % of the diagonal (3).
    for labels in (r.source_labels, r.target_labels):
        assert np.bincount(labels, minlength=len(r.motions)).tolist()[:6] == [1273, 501, 496, 406, 404, 0]
    assert r.hausdorff == pytest.approx(0.0307, abs=5e-4)


# The handler notes whether the run's temporary directory is still there, i.e. whether it ran
# during the registration rather than after it returned.
INTERRUPTED_RUN = """
import os, signal, sys, tempfile, veltrix
during = []
def interrupt(number, frame):
    during.append(bool(os.listdir(tempfile.gettempdir())))
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
shapes = veltrix.read_mesh(sys.argv[1]) + veltrix.read_mesh(sys.argv[2])
try:
    veltrix.register(*shapes, preset="figure", seed=1, threads=1)
except KeyboardInterrupt:
    print("interrupted during the run" if during[0] else "interrupted after the run")
    sys.exit(0)
sys.exit(3)
"""


def test_ctrl_c_stops_a_registration_and_leaves_no_files(tmp_path):
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = dict(os.environ, TMPDIR=str(temporary))
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN, SOURCE, TARGET], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The run has begun once its temporary directory exists.
    for _ in range(30000):
        if list(temporary.iterdir()) or child.poll() is not None:
            break
        time.sleep(0.01)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0 and out.strip() == "interrupted during the run", err
    assert list(temporary.iterdir()) == []
