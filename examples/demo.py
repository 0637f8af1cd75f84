"""The toolbox demo.

    python examples/demo.py [--out DIR]   an editing session on a photograph and a
                                          panorama: PNGs and an index.html in DIR
    python examples/demo.py --sample      a quick console tour on a small embedded
                                          sample image (24 x 16 BGRA), traced

Run with tools/run_demo.sh. In the console tour tracing is switched on, so
every step's trace lines appear on standard error next to what it printed.
"""
import argparse
import base64
import os
import sys
import zlib

import PyQelBufferUtility
import zubuffer

WIDTH, HEIGHT = 24, 16
SAMPLE_BGRA = zlib.decompress(base64.b64decode(
    "eNoFwSGo8moABuCPwZIYvrI4cGBbG7hmGKsWYTCwvCAsDgyXMctNwuLKH6Zwo2FFxl+E2Q2OEwYn"
    "fkE4oKcsuIMnnCPvfR4h/sVA/AdD1BiJd9jiE674hidemIkfhOKBpbgiFhek4oCNyJGLFXZijr2Y"
    "oBImTmKIs9DQCgEldNyFRC/GoJhCyP8wkDUM+Y6R/IQtv+HKFzz5g5l8IJRXLOUFsTwglTk2coVc"
    "zrGTE+yliUoOcZIazlKglTqUlLjLMXo5BeUCwqoxsN5hWJ8YWd+wrRdc6wee9cDMuiK0LlhaB8ZW"
    "ztRacWPNmVsT7iyTe2vIytJwsgTOlo7WklDWGHdrit5agNYawnnHwPmE4Xxj5LxgOz9wnQc854qZ"
    "c0HoHLh0csbOiqkz58aZMHdM7pwh947GyhE8OTrOjkTrjKGcKe7OAr2zBp0thP+Jgf8Nw39h5P/A"
    "9h9w/Ss8/4KZf2Do51z6K8b+nKk/4cY3mftD7nyNe1+w8nWefMmzP0brT6H8Be7+Gr2/Bf0jRPCN"
    "QfCCEfxgFDxgB1e4wQVecOAsyBkGKy6DOeNgwjQwuQmGzAONu0BwH+isAslTMOY5mLINFlDBGvdg"
    "iz44gkELEb0wiH5gRA+Moivs6AI3OsCLcs6iFcNozmU0YRyZTKMhN5HGPBLcRTr3kWQVjXmKpjxH"
    "C7bRGira4h4d0UctGN0gkh8MkgeM5IpRcoGdHOAmObxkxVkyZ5hMuExMxsmQaaJxkwjmic5dIrlP"
    "xqySKU/JgudkzTbZQiVH3JMWfXIDkydE9sAgu8LILhhlB9hZDjdbwcvmnGUThpnJZTZknGlMM8FN"
    "pjPPJHfZmPtsyipb8JStec62bLMjVNbint3QZ08we0EUVwyKC4zigFGRwy5WcIs5vGLCWWEyLIZc"
    "FhrjQjAtdG4KybwYc1dMuS8WrIo1T8WW5+LItmihihvuxRN98QKLX4jygkF5gFHmGJUr2OUcbjmB"
    "V5qclUOGpcZlKRiXOtNSclOOmZdT7soF9+WaVbnlqTzyXLZsyxtU+cS9fKEvf8HyC6I+YFDnMOoV"
    "RvUcdj2BW5vw6iFntcawFlzWOuNaMq3H3NRT5vWCu3rNfb1lVR95qlue6xvb+glVv3Cvf9HXX2D9"
    "AdHkGDQrGM0co2YCuzHhNkN4jYZZIxg2OpeNZNyMmTZTbpoF82bNXbPlvjmyalqemhvPzRNt84Jq"
    "fnFvvtA3H2DzBqFWGKg5DDXBSJmw1RCu0uApgZnSESrJpRozVlOmasGNWjNXW+7UkXvVslI3ntQT"
    "Z/VCq36h1Bfu6gO9egPVX4hujkE3gdGZGHVD2J0GtxPwOh2zTiLsxlh2U8bdgmm35qbbMu+O3HUt"
    "992NVffEqXvh3P2i7b6gug/cuzf03V+w+wPBCQY0YXCIETXYFHCpw6PEjGOEnGLJBWKukXKLDY/I"
    "2WLHG/Z8ouILJ/7izC+0/IDiG+78i55/QP6D/wF1yyG5"))


def show(title, buf):
    info = zubuffer.info(buf)
    print(f"{title}: {info['width']}x{info['height']} bpp={info['bpp']} type={info['alloc_type']} "
          f"mapped={info['file_mapped']} refs={info['refcount']}", flush=True)


def ascii_art(buf, channel):
    """One character per pixel from one 8-bit channel of a BGRA buffer."""
    data = zubuffer.to_bytes(buf)
    info = zubuffer.info(buf)
    shades = " .:-=+*#%@"
    rows = []
    for y in range(info["height"]):
        row = data[y * info["width"] * 4:(y + 1) * info["width"] * 4]
        rows.append("".join(shades[row[x * 4 + channel] * (len(shades) - 1) // 255] for x in range(info["width"])))
    return "\n".join(rows)


def sample_tour():
    os.environ.setdefault("QEL_DUMPMSG", "1")  # read when the utility is made
    util = PyQelBufferUtility.PyQelBufferUtility()
    made = []
    raw = zubuffer.byte_array(SAMPLE_BGRA)
    try:
        image = util.CreateBufferFromRawData(raw, WIDTH, HEIGHT, 4)
    finally:
        zubuffer.free_byte_array(raw)
    made.append(image)
    show("sample", image)
    print("alpha channel:")
    print(ascii_art(image, 3), flush=True)

    zubuffer.set_attributes(image, 2024, 7)
    copy = util.DuplicateImageBuffer(image)
    made.append(copy)
    show("duplicate", copy)
    info = zubuffer.info(copy)
    print(f"duplicate keeps attributes ({info['attribute1']}, {info['attribute2']}) and pixels:",
          zubuffer.to_bytes(copy) == SAMPLE_BGRA, flush=True)

    deep = util.ConvertImageBufferColorDepth(image, WIDTH, HEIGHT, 4, 8)
    made.append(deep)
    show("16-bit copy", deep)
    grey = util.ConvertImageBufferColorDepth(deep, WIDTH, HEIGHT, 8, 1)
    made.append(grey)
    show("grey from 16-bit", grey)

    mask = util.ConvertImageBufferToMask(image, WIDTH, HEIGHT, 4, 1)
    made.append(mask)
    print("mask from alpha, first row:", list(zubuffer.to_bytes(mask)[:WIDTH]), flush=True)

    roi = util.GetROI(image, 6, 2, 12, 12)
    made.append(roi)
    show("region (6, 2, 12, 12)", roi)
    print("region alpha:")
    print(ascii_art(roi, 3), flush=True)

    print("swap red and blue:", util.SwapRBChannel(roi), flush=True)
    print("reveal alpha:", util.RevealAlphaChannel(roi), flush=True)
    print("region alpha after reveal:")
    print(ascii_art(roi, 3), flush=True)

    planar = util.ConvertImageBufferAllocateType(image, zubuffer.BUFFER_ALLOCATE_TYPE_PLANAR)
    made.append(planar)
    show("planar copy", planar)
    back = util.ConvertImageBufferAllocateType(planar, zubuffer.BUFFER_ALLOCATE_TYPE_CHUNK)
    made.append(back)
    show("chunked from planar", back)
    print("planar round trip keeps the pixels:", zubuffer.to_bytes(back) == SAMPLE_BGRA, flush=True)

    empty = util.GetEmptyBuffer(WIDTH, HEIGHT, 4, False)
    made.append(empty)
    show("file-mapped empty buffer", empty)
    print("last error code:", util.GetLastErrorHr(), flush=True)

    for buf in made:
        zubuffer.release(buf)
    print("buffers still alive:", zubuffer.live_buffers(), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description="The buffer toolbox demo.")
    parser.add_argument("--sample", action="store_true", help="the console tour on the embedded sample")
    parser.add_argument("--out", default="demo-output", help="folder for the session's pictures (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.sample:
        sample_tour()
        return 0
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import photo_session

    sheet = photo_session.run(args.out)
    print(f"\nContact sheet: {os.path.abspath(sheet)}")
    print(f"Open it with: xdg-open {os.path.abspath(sheet)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
