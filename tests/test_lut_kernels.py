"""The look-up table kernels alone, on descriptors the module never builds:
processing rectangles, three-byte pixels and refused formats."""
from conftest import end, entry, line, run_cpp

SOURCES = ("lut/LutApply.cpp", "lut/LutTable.cpp", "lut/Lut3DSimd.cpp", "core/TraceLog.cpp")
FLAGS = ("-ffp-contract=off", "-DHWY_SHARED_DEFINE", "-Wl,--no-as-needed", "-lhwy")


def test_rectangles_formats_and_refusals(tmp_path):
    done = run_cpp(tmp_path, "lut_kernels.cpp", *SOURCES, flags=FLAGS)
    expected = []
    for name in ("Lut1D_Linear_normal", "Lut3D_Linear_normal", "Lut3D_Linear_SIMD"):
        expected += [entry(name), end(name)] * 4  # whole, rectangle, clipped, three-byte
        expected += [entry(name), line(f"{name} doesn't support the pixel format = 1"), entry(name)]
    expected += [entry("Lut3D_Linear_SIMD"),
                 line("Lut3D_Linear_SIMD refuses the table: 81 values for size 4, 192 needed")]
    assert done.stderr.splitlines() == expected
