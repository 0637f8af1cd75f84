"""Reconstruct against a NumPy model of its slice arithmetic; the copy shortcut, wraps, slicing, layouts,
concurrency, failures and interpreter exit."""
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import E_OUTOFMEMORY, MODULE_DIR, entry, hx, line, run_cpp, run_threads

RECON = "PyQelBufferUtility::Reconstruct"
BYTE, CHUNK, PLANAR = 0, 1, 2
F = np.float32


def slice_model(src, yaw, roll, pitch, vector=True, wrap_rows=False):
    """float32 where the slice uses float, float64 for the trigonometry it takes in double."""
    h, w = src.shape[:2]
    pi = F(3.1415927)

    def ang(a):  # the record holds -a; the slice negates it again
        return F(-F(-F(a)) * pi / F(180.0))
    fy_, fp, fr = ang(yaw), ang(pitch), ang(roll)
    (cy, sy), (cp, sp), (cr, sr) = ((np.cos(a), np.sin(a)) for a in (fy_, fp, fr))
    ry = np.array([[cy, 0, -sy], [0, 1, 0], [sy, 0, cy]], F)
    rx = np.array([[1, 0, 0], [0, cp, sp], [0, -sp, cp]], F)
    rz = np.array([[cr, sr, 0], [-sr, cr, 0], [0, 0, 1]], F)
    m = (ry @ rx) @ rz
    iw, ih = F(1) / F(w), F(1) / F(h)
    t = np.arange(h).astype(F) * ih
    t = np.where(t > 1, F(2) - t, t)
    t = np.where(t < 0, -t, t)
    lat = -(t - F(0.5)) * F(0.5) * F(6.2831855)
    c = (np.cos(lat.astype(np.float64)) * 0.25).astype(F)[:, None]
    s = (np.sin(lat.astype(np.float64)) * 0.25).astype(F)[:, None]
    u0 = np.arange(w).astype(F) * iw
    mu = np.where(u0 < F(0.25), F(-1.5707964) - u0 * F(6.2831855), (F(0.75) - u0) * F(6.2831855)).astype(F)
    X = (np.cos(mu.astype(np.float64))[None, :] * c).astype(F)
    Z = (np.sin(mu.astype(np.float64))[None, :] * c).astype(F)
    Y = np.broadcast_to(s, X.shape)
    qx = X * m[0, 0] + Y * m[1, 0] + Z * m[2, 0]
    qy = X * m[0, 1] + Y * m[1, 1] + Z * m[2, 1]
    qz = X * m[0, 2] + Y * m[1, 2] + Z * m[2, 2]
    al = np.arctan2(qz.astype(np.float64), qx.astype(np.float64))
    r = np.sqrt((qz * qz + qx * qx).astype(np.float64))
    be = np.arctan2(qy.astype(np.float64), r)
    v = (0.5 - be / 3.1415927).astype(F)
    u = np.where(al > -1.5707964, 0.75 - al / 6.2831855, -(al + 1.5707964) / 6.2831855).astype(F)
    v = np.where(v < 0, v + F(1), v)
    v = np.where(v >= 1, v - F(1), v)
    fx, fy = F(w) * u, F(h) * v
    ok = (fx > -1) & (fx < w) & (fy > -1) & (fy < h)
    fx, fy = np.where(ok, fx, 0), np.where(ok, fy, 0)
    ix, iy = np.trunc(fx).astype(np.int64), np.trunc(fy).astype(np.int64)
    ix1 = np.where(ix + 1 == w, 0, ix + 1)
    s32 = src.astype(np.int64)
    if vector:
        iy1 = np.where(iy == h - 1, 0 if wrap_rows else iy, iy + 1)  # wrap_rows: the blend that must not happen
        wx = np.floor((fx - ix.astype(F)) * F(65536)).astype(np.int64) >> 1
        wy = np.floor((fy - iy.astype(F)) * F(65536)).astype(np.int64) >> 1
        ul, ur, ll, lr = s32[iy, ix], s32[iy, ix1], s32[iy1, ix], s32[iy1, ix1]
        top = ul + (((ur - ul) * wx[..., None]) >> 15)
        bot = ll + (((lr - ll) * wx[..., None]) >> 15)
        out = np.clip(top + (((bot - top) * wy[..., None]) >> 15), 0, 255)
    else:
        bottom = (iy == h - 1)[..., None]
        wx = np.floor((fx - ix.astype(F)) * F(65536)).astype(np.int64)
        wy = np.floor((fy - iy.astype(F)) * F(65536)).astype(np.int64)
        ul, ur = s32[iy, ix], s32[iy, ix1]
        ll = np.where(bottom, ul, s32[np.minimum(iy + 1, h - 1), ix])
        lr = np.where(bottom, ul, s32[np.minimum(iy + 1, h - 1), ix1])
        top = ul + (((ur - ul) * wx[..., None]) >> 16)
        bot = ll + (((lr - ll) * wx[..., None]) >> 16)
        out = np.clip(top + (((bot - top) * wy[..., None]) >> 16), 0, 255)
        out[..., 3] = 255
    out = np.where(ok[..., None], out, 0)
    return out.astype(np.uint8)


def panorama(w, h, salt=0):
    """Smooth with a little noise: a position rounding the other way moves a value by a level or two."""
    rng = np.random.default_rng(salt)
    yy, xx = np.mgrid[0:h, 0:w].astype(float)
    chans = [127 + 100 * np.sin(2 * np.pi * (xx / w * (c + 1)) + yy / h * (c + 2)) for c in range(4)]
    return np.clip(np.stack(chans, -1) + rng.integers(-3, 4, (h, w, 4)), 0, 255).astype(np.uint8)


def run(util, zb, keep, arr, yaw, roll, pitch, alloc_type=BYTE):
    src = keep(zb.from_numpy(arr, alloc_type))
    out = keep(util.Reconstruct(src, yaw, roll, pitch))
    return zb.to_numpy(out), out


def close_to_model(got, want):
    diff = np.abs(got.astype(int) - want.astype(int)).max(-1)
    # libm and the vector atan2 may differ in the last place: a few samples move a level, or cross the seam.
    return (np.count_nonzero(diff) <= max(2, diff.size // 100)
            and np.count_nonzero(diff > 2) <= max(1, diff.size // 1000))


@pytest.mark.parametrize("sse_level", [None, "1"])
@pytest.mark.parametrize("yaw, roll, pitch", [
    (30.0, 10.0, 20.0), (0.0, 0.0, 45.0), (-70.0, 33.0, 0.0), (181.0, -90.0, 12.5), (360.0, 0.0, 0.0),
    (0.0, 1e-6, 0.0)])
def test_against_model(util, zb, keep, monkeypatch, trace, sse_level, yaw, roll, pitch):
    if sse_level:
        monkeypatch.setenv("QEL_SSE_LEVEL", sse_level)  # the scalar sampler: opaque alpha
    arr = panorama(72, 36, salt=int(yaw) & 0xFF)
    got, _ = run(util, zb, keep, arr, yaw, roll, pitch)
    want = slice_model(arr, yaw, roll, pitch, vector=sse_level is None)
    assert close_to_model(got, want)
    assert trace() == [entry(RECON)]


@pytest.mark.parametrize("angles", [(0.0, 0.0, 0.0), (1e-8, -5e-8, 9e-8)])
def test_small_angles_copy(util, zb, keep, angles):
    arr = np.random.default_rng(1).integers(0, 256, (9, 14, 4), dtype=np.uint8)
    got, _ = run(util, zb, keep, arr, *angles)
    assert np.array_equal(got, arr)  # alpha included


def test_yaw_90_shifts_a_quarter(util, zb, keep):
    w, h = 400, 6
    arr = np.zeros((h, w, 4), np.uint8)
    arr[..., 0], arr[..., 1], arr[..., 3] = np.arange(w) // 2, np.arange(w) % 2, 255  # the column shows
    got = run(util, zb, keep, arr, 90.0, 0.0, 0.0)[0][1:]  # row 0 is the pole
    assert got[:, 0].tolist() == [[50, 0, 0, 255]] * (h - 1)
    # Column 300 is on the seam: column 0, or transparent when it rounds onto the seam itself.
    assert all(p in ([0, 0, 0, 255], [0, 0, 0, 0]) for p in got[:, 300].tolist())
    # Other columns take x + W/4 (within a level); 299 blends the last column with column 0.
    want = np.roll(arr, -w // 4, axis=1)[1:]
    diff = np.abs(got.astype(int) - want.astype(int))
    assert diff[:, (np.arange(w) != 299) & (np.arange(w) != 300)].max() <= 1


def test_last_column_wraps_to_the_first(util, zb, keep):
    w, h = 64, 16
    arr = np.zeros((h, w, 4), np.uint8)
    arr[:, 0] = 240  # only column 0 is lit
    yaw = 360.0 * 1.5 / w  # positions fall between the last column and the first
    got, _ = run(util, zb, keep, arr, yaw, 0.0, 0.0)
    assert close_to_model(got, slice_model(arr, yaw, 0.0, 0.0))
    row = got[h // 2, :, 0]  # 62 blends the last column with column 0 of the same row, 63 columns 0 and 1
    assert np.nonzero(row)[0].tolist() == [62, 63] and abs(int(row[62]) - 120) <= 1 and abs(int(row[63]) - 120) <= 1


def test_bottom_row_is_not_blended_with_the_top(util, zb, keep):
    w, h = 48, 24
    arr = np.zeros((h, w, 4), np.uint8)
    arr[0] = 250  # the top row is bright, everything else dark
    for pitch in (0.7, 4.3):
        got, _ = run(util, zb, keep, arr, 0.0, 0.0, pitch)
        assert close_to_model(got, slice_model(arr, 0.0, 0.0, pitch))
        assert not np.array_equal(slice_model(arr, 0.0, 0.0, pitch, wrap_rows=True), slice_model(arr, 0.0, 0.0, pitch))
        assert not close_to_model(got, slice_model(arr, 0.0, 0.0, pitch, wrap_rows=True))


def test_every_height_against_the_processor_count(util, zb, keep):
    n = os.cpu_count() or 1
    for h in sorted({1, max(1, n - 1), n, n + 1, 3 * n + 2}):
        arr = panorama(20, h, salt=h)
        got, _ = run(util, zb, keep, arr, 25.0, 5.0, -15.0)
        assert close_to_model(got, slice_model(arr, 25.0, 5.0, -15.0)), h


@pytest.mark.parametrize("w, h", [(1, 1), (1, 9), (9, 1), (2, 3), (17, 2)])
def test_narrow_panoramas(util, zb, keep, w, h):
    arr = panorama(w, h, salt=w * 31 + h)
    for angles in ((30.0, 10.0, 20.0), (-47.0, 5.0, 12.0)):
        got, _ = run(util, zb, keep, arr, *angles)
        want = slice_model(arr, *angles)
        assert np.count_nonzero(np.abs(got.astype(int) - want.astype(int)).max(-1) > 2) <= 1


@pytest.mark.parametrize("alloc_type", [CHUNK, PLANAR])
def test_other_layouts_are_staged(util, zb, keep, alloc_type):
    arr = panorama(40, 20, salt=alloc_type)
    src = keep(zb.from_numpy(arr, alloc_type))
    zb.set_attributes(src, 3, 4)
    out = keep(util.Reconstruct(src, 30.0, 10.0, 20.0))
    assert np.array_equal(zb.to_numpy(out), run(util, zb, keep, arr, 30.0, 10.0, 20.0)[0])
    assert [zb.info(out)[k] for k in ("alloc_type", "bpp", "attribute1", "attribute2")] == [alloc_type, 4, 3, 4]


@pytest.mark.parametrize("bpp, alloc_type", [(1, BYTE), (8, BYTE), (2, CHUNK), (6, PLANAR)])
def test_other_pixels_are_refused(util, zb, make_buf, trace, bpp, alloc_type):
    src = make_buf(bytes(4 * 2 * bpp), 4, 2, bpp, alloc_type)
    assert util.Reconstruct(src, 10.0, 0.0, 0.0) is None
    assert trace() == [entry(RECON), line(f"[Reconstruct]unsupported BPP {bpp}")]


@pytest.mark.parametrize("alloc_type, fault, skip, hr, result, why", [
    (BYTE, "allocateImageBuffer", 0, 0, None, None),
    (BYTE, "lock", 0, None, "zeros", None),          # the source lock failed: nothing computed
    (BYTE, "lock_no_data", 1, None, "zeros", None),  # the result lock gave no pixels
    (CHUNK, "copyBufferData", 0, E_OUTOFMEMORY, None, "[Reconstruct]staging copy failed " + hx(E_OUTOFMEMORY)),
    (CHUNK, "copyBufferData", 1, E_OUTOFMEMORY, None, "[Reconstruct]staging copy failed " + hx(E_OUTOFMEMORY)),
    (PLANAR, "lock", 1, None, "zeros", None),
])
def test_failures(util, zb, keep, trace, alloc_type, fault, skip, hr, result, why):
    arr = panorama(16, 8)
    src = keep(zb.from_numpy(arr, alloc_type))
    util.Close()
    zb.fail_next(fault, 1, **({"hr": hr} if hr is not None else {}), skip=skip)
    out = keep(util.Reconstruct(src, 45.0, 0.0, 0.0))
    if result is None:
        assert out is None
    else:
        assert not zb.to_numpy(out).any()
    assert util.GetLastErrorHr() == 0
    assert trace() == [entry(RECON)] + ([line(why)] if why else [])


def test_calls_from_several_threads(util, zb, keep):
    arrays = [panorama(64, 32, salt=s) for s in range(4)]
    srcs = [keep(zb.from_numpy(a)) for a in arrays]
    serial = [zb.to_bytes(keep(util.Reconstruct(s, 33.0, 11.0, 22.0))) for s in srcs]
    results = [[] for _ in srcs]

    def work(i):
        for _ in range(6):  # interleaved with other methods that release the interpreter lock
            out = util.Reconstruct(srcs[i], 33.0, 11.0, 22.0)
            results[i].append(zb.to_bytes(out))
            for buf in (out, util.Mirror(srcs[i], 3), util.Rotate(srcs[i], 40, 40, 10.0)):
                zb.release(buf)

    run_threads(work, [(i,) for i in range(4)])
    assert results == [[s] * 6 for s in serial]


EXIT_SCRIPT = """
import os, sys, threading
sys.path.insert(0, {pkg!r})
import numpy as np, PyQelBufferUtility, zubuffer
u = PyQelBufferUtility.PyQelBufferUtility()
src = zubuffer.from_numpy(np.full((40, 80, 4), 7, np.uint8))
out = u.Reconstruct(src, 30.0, 10.0, 20.0)
assert out is not None
{extra}
print("done", flush=True)
"""

EXTRA = {
    "plain": "",
    "daemon": "threading.Thread(target=lambda: [zubuffer.release(u.Reconstruct(src, 5.0, 0.0, 0.0)) "
              "for _ in iter(int, 1)], daemon=True).start()",
    "fork": "pid = os.fork()\n"
            "if pid == 0:\n"
            "    r = u.Reconstruct(src, 30.0, 10.0, 20.0)\n"
            "    os._exit(0 if r is not None and zubuffer.to_bytes(r) == zubuffer.to_bytes(out) else 1)\n"
            "_, status = os.waitpid(pid, 0)\n"
            "assert status == 0, status",
}


@pytest.mark.parametrize("kind", sorted(EXTRA))
def test_interpreter_exit_after_a_reconstruct(kind):
    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT.format(pkg=MODULE_DIR, extra=EXTRA[kind])],
                          capture_output=True, text=True, timeout=60, env={**os.environ, "QEL_DUMPMSG": "0"})
    assert (done.returncode, done.stdout) == (0, "done\n"), done.stderr


def test_pool_and_slicing_in_cpp(tmp_path):
    run_cpp(tmp_path, "geometry_pool.cpp", "geometry/ThreadPool.cpp", "geometry/ReconstructSlice.cpp",
            "core/SSELevel.cpp", flags=("-pthread", "-Wl,--no-as-needed", "-lmvec"))
