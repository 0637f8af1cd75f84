"""An editing session on a real photograph and a generated panorama, through
the whole toolbox. Every step's result is written as a PNG into an output
folder, with an index.html contact sheet: a thumbnail, the call that made
it and how long the call took.

The photograph (examples/coffee.png, 600 x 400) is scikit-image's "coffee"
sample, CC0 by its photographer, Rachel Michetti.
"""
import html
import os
import time

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import PyQelBufferUtility
import zubuffer

HERE = os.path.dirname(os.path.abspath(__file__))
PHOTO = os.path.join(HERE, "coffee.png")


class Session:
    """Runs the steps, keeps every buffer it is handed, writes the sheet."""

    def __init__(self, out_dir):
        self.util = PyQelBufferUtility.PyQelBufferUtility()
        self.out_dir = out_dir
        self.owned = []
        self.cards = []
        os.makedirs(out_dir, exist_ok=True)

    def own(self, buf):
        if buf is not None and all(int(buf) != int(b) for b in self.owned):
            self.owned.append(buf)
        return buf

    def call(self, fn, *args):
        """Runs one toolbox call whose result is not a new buffer; returns
        (result, milliseconds)."""
        start = time.perf_counter()
        result = fn(*args)
        return result, (time.perf_counter() - start) * 1000.0

    def step(self, fn, *args):
        """A call whose result is a new buffer, kept for release at the end."""
        start = time.perf_counter()
        result = fn(*args)
        ms = (time.perf_counter() - start) * 1000.0
        if result is None:
            raise RuntimeError(f"{fn.__name__}{args[:4]}... gave None")
        return self.own(result), ms

    def save(self, name, buf, text, ms, note=""):
        path = os.path.join(self.out_dir, name + ".png")
        to_image(buf).save(path)
        self.cards.append((name, text, ms, note))
        print(f"{name:<22} {ms:8.2f} ms  {text}" + (f"  -> {note}" if note else ""), flush=True)
        return path

    def write_sheet(self):
        cards = "\n".join(
            f'<figure><a href="{n}.png"><img src="{n}.png" alt="{n}"></a>'
            f"<figcaption><b>{html.escape(n)}</b><code>{html.escape(t)}</code>"
            f"<span>{ms:.2f} ms</span>{'<em>' + html.escape(note) + '</em>' if note else ''}</figcaption></figure>"
            for n, t, ms, note in self.cards)
        page = f"""<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Buffer toolbox session</title>
<style>
body {{ font: 14px/1.4 system-ui, sans-serif; margin: 24px; background: #f4f2ee; color: #222; }}
main {{ display: grid; grid-template-columns: repeat(auto-fill, minmax(300px, 1fr)); gap: 18px; }}
figure {{ margin: 0; background: #fff; border-radius: 6px; padding: 10px; box-shadow: 0 1px 3px #0002; }}
img {{ width: 100%; height: 220px; object-fit: contain; display: block;
      background: conic-gradient(#ddd 25%, #fff 0 50%, #ddd 0 75%, #fff 0) 0 0 / 16px 16px; }}
figcaption {{ margin-top: 8px; display: grid; gap: 4px; }}
code {{ font-size: 12px; color: #555; word-break: break-all; }}
span {{ color: #0a6; }} em {{ color: #735; font-style: normal; }}
</style></head><body>
<h1>Buffer toolbox session</h1>
<p>Each picture is one step's result; the call under it made it, timed alone.</p>
<main>
{cards}
</main></body></html>
"""
        path = os.path.join(self.out_dir, "index.html")
        with open(path, "w") as f:
            f.write(page)
        return path

    def close(self):
        for buf in reversed(self.owned):
            zubuffer.release(buf)
        self.owned.clear()


def to_image(buf):
    """A Pillow image of a BGRA, BGR or 1-byte buffer."""
    arr = zubuffer.to_numpy(buf)
    if arr.dtype != np.uint8:
        arr = (arr >> 8).astype(np.uint8)
    if arr.ndim == 2:
        return Image.fromarray(arr, "L")
    if arr.shape[2] == 3:
        return Image.fromarray(np.ascontiguousarray(arr[..., ::-1]), "RGB")
    return Image.fromarray(np.ascontiguousarray(arr[..., [2, 1, 0, 3]]), "RGBA")


def from_image(image):
    rgba = np.asarray(image.convert("RGBA"))
    return zubuffer.from_numpy(np.ascontiguousarray(rgba[..., [2, 1, 0, 3]]))


def watermark_image():
    """A translucent white badge with a short text, as BGRA."""
    image = Image.new("RGBA", (180, 56), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    draw.rounded_rectangle((0, 0, 179, 55), radius=14, fill=(255, 255, 255, 150), outline=(255, 255, 255, 255),
                           width=3)
    font = ImageFont.load_default(size=26) if hasattr(ImageFont, "load_default") else None
    draw.text((90, 28), "Q E L", fill=(40, 30, 20, 255), font=font, anchor="mm")
    return image


def teal_orange_table(n=33):
    """A 3D look: shadows pushed to teal, highlights to orange, more contrast."""
    g = np.linspace(0.0, 1.0, n, dtype=np.float32)
    b, gg, r = np.meshgrid(g, g, g, indexing="ij")  # axis 0 = byte 0 (blue) varies fastest in the data
    luma = 0.114 * b + 0.587 * gg + 0.299 * r
    s = 1.0 / (1.0 + np.exp(-(luma - 0.5) * 6.0))
    s = (s - s.min()) / (s.max() - s.min())
    lift = s - luma
    out_b = np.clip(b + lift + 0.35 * (0.5 - luma), 0, 1)
    out_g = np.clip(gg + lift + 0.08 * (0.5 - luma), 0, 1)
    out_r = np.clip(r + lift - 0.30 * (0.5 - luma), 0, 1)
    # Entry (i2 * N + i1) * N + i0: byte 0's axis varies fastest.
    data = np.stack([out_b, out_g, out_r], axis=-1).transpose(2, 1, 0, 3).reshape(-1)
    return ("3D", n, [0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [float(v) for v in data])


def s_curve(n=256):
    x = np.linspace(0.0, 1.0, n)
    s = 0.5 - 0.5 * np.cos(np.pi * x)  # a strong S for contrast, then a faded, warm film look
    curves = np.stack([0.10 + 0.75 * s, 0.05 + 0.88 * s, 0.02 + 0.98 * s], axis=-1)  # B, G, R
    return ("1D", n, [0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [float(v) for v in curves.reshape(-1)])


def card(width, height):
    """A tilted four-cornered outline, corners clockwise as the screen shows
    them (top-left first): the mask's inside test wants them in that turn."""
    return [(0.15 * width, 0.12 * height), (0.92 * width, 0.05 * height),
            (0.84 * width, 0.93 * height), (0.20 * width, 0.86 * height)]


def depth_map(width, height):
    """A depth picture: far at the top, near at the bottom, the cup nearer still."""
    y, x = np.mgrid[0:height, 0:width]
    depth = 40 + (y / (height - 1)) * 150
    cup = ((x - width * 0.47) / (width * 0.30)) ** 2 + ((y - height * 0.52) / (height * 0.42)) ** 2 < 1.0
    depth[cup] = 215
    return zubuffer.from_numpy(depth.astype(np.uint8))


def panorama(width=1024, height=512):
    """An equirectangular test scene: sky, ground, the horizon, and a coloured
    pillar every 45 degrees of longitude."""
    lat = (0.5 - (np.arange(height) + 0.5) / height) * 180.0
    lon = ((np.arange(width) + 0.5) / width) * 360.0 - 180.0
    lat, lon = np.meshgrid(lat, lon, indexing="ij")
    rgb = np.zeros((height, width, 3), np.float32)
    sky = lat > 0
    rgb[sky] = np.stack([60 + lat[sky], 120 + lat[sky], 230 * np.ones_like(lat[sky])], -1)
    rgb[~sky] = np.stack([90 - lat[~sky] * 0.4, 140 + lat[~sky] * 0.5, 70 * np.ones_like(lat[~sky])], -1)
    grid = (np.abs((lat + 90) % 15 - 7.5) > 7.1) | (np.abs((lon + 180) % 15 - 7.5) > 7.1)
    rgb[grid] *= 0.75
    colours = [(230, 60, 50), (250, 200, 40), (60, 200, 90), (40, 150, 240)] * 2
    for k, colour in enumerate(colours):
        pillar = (np.abs(lon - (k * 45 - 180)) < 4) & (np.abs(lat) < 40)
        rgb[pillar] = colour
    rgb[np.abs(lat) < 0.4] = (255, 255, 255)
    bgra = np.dstack([np.clip(rgb[..., ::-1], 0, 255).astype(np.uint8), np.full((height, width), 255, np.uint8)])
    return zubuffer.from_numpy(np.ascontiguousarray(bgra))


def outline(util, buf, box, argb, width=3):
    """Draws a rectangle's four edges with SetBufferColor regions."""
    x, y, w, h = box
    a, r, g, b = argb
    for roi in ((x, y, w, width), (x, y + h - width, w, width), (x, y, width, h), (x + w - width, y, width, h)):
        util.SetBufferColor(buf, a, r, g, b, roi)


def run(out_dir):
    s = Session(out_dir)
    util = s.util
    try:
        photo_image = Image.open(PHOTO)
        w, h = photo_image.size
        raw_bytes = np.ascontiguousarray(np.asarray(photo_image.convert("RGBA"))[..., [2, 1, 0, 3]]).tobytes()
        raw = zubuffer.byte_array(raw_bytes)
        try:
            photo, ms = s.step(util.CreateBufferFromRawData, raw, w, h, 4)
        finally:
            zubuffer.free_byte_array(raw)
        s.save("01-photo", photo, f"CreateBufferFromRawData(raw, {w}, {h}, 4)", ms)

        deep, ms = s.step(util.ConvertImageBufferColorDepth, photo, w, h, 4, 8)
        s.save("02-16-bit", deep, f"ConvertImageBufferColorDepth(photo, {w}, {h}, 4, 8)", ms, "16 bits a channel")
        grey, ms = s.step(util.ConvertImageBufferColorDepth, deep, w, h, 8, 1)
        s.save("03-grey", grey, f"ConvertImageBufferColorDepth(deep, {w}, {h}, 8, 1)", ms)
        bgr, ms = s.step(util.ReduceAlphaChannel, photo)
        s.save("04-no-alpha", bgr, "ReduceAlphaChannel(photo)", ms, "3 bytes a pixel")
        swapped = s.own(util.DuplicateImageBuffer(photo))
        _, ms = s.call(util.SwapRBChannel, swapped)
        s.save("05-red-blue-swapped", swapped, "SwapRBChannel(copy)", ms)

        # The photo as a camera stores it when it was held upright: turned a
        # quarter, with orientation 6 saying how to show it. The watermark is
        # placed in the coordinates a viewer sees.
        stored, _ = s.step(util.Rotate, photo, h, w, 90.0)
        mark = s.own(from_image(watermark_image()))
        _, ms = s.call(util.ComposeWithBuffer, stored, mark, w - 200, h - 76, 0.85, 6)
        shown, _ = s.step(util.Rotate, stored, w, h, -90.0)
        s.save("06-watermark-orientation-6", shown, f"ComposeWithBuffer(stored, mark, {w - 200}, {h - 76}, 0.85, 6)",
               ms, "composed into the stored (turned) photo, shown upright")

        framed = s.own(util.DuplicateImageBuffer(photo))
        _, ms = s.call(util.ComposeWithSetting, framed, (20, 20, w - 40, h - 40, 0.0), 8, 10, 0xFFF4EBD8, 0.9,
                       6, 1)
        s.save("07-frame-with-shadow", framed,
               f"ComposeWithSetting(copy, (20, 20, {w - 40}, {h - 40}, 0.0), 8, 10, 0xFFF4EBD8, 0.9, 6, 1)", ms)

        turned, ms = s.step(util.Rotate, photo, w, h, 12.0)
        s.save("08-rotate-12", turned, f"Rotate(photo, {w}, {h}, 12.0)", ms)
        mirrored, ms = s.step(util.Mirror, photo, 1)
        s.save("09-mirror", mirrored, "Mirror(photo, 1)", ms)

        look = s.own(util.DuplicateImageBuffer(photo))
        table = teal_orange_table()
        ok, ms = s.call(util.ApplyLUTOnBuffer, look, table)
        s.save("10-3d-look", look, "ApplyLUTOnBuffer(copy, ('3D', 33, [0, 0, 0], [1, 1, 1], <107,811 floats>))", ms,
               f"applied: {ok}")
        curve = s.own(util.DuplicateImageBuffer(photo))
        ok, ms = s.call(util.ApplyLUTOnBuffer, curve, s_curve())
        s.save("11-1d-curve", curve, "ApplyLUTOnBuffer(copy, ('1D', 256, [0, 0, 0], [1, 1, 1], <768 floats>))", ms,
               f"applied: {ok}")

        corners = card(w, h)
        poly, ms = s.step(util.GetMaskWithBoundary, w, h, corners)
        s.save("12-polygon-mask", poly, "GetMaskWithBoundary(%d, %d, [%s])" % (
            w, h, ", ".join("(%g, %g)" % p for p in corners)), ms)
        cut = s.own(util.DuplicateImageBuffer(photo))
        _, ms = s.call(util.UpdateAlphaChannelByMask, cut, poly, 0, 0)
        s.save("13-card-cut", cut, "UpdateAlphaChannelByMask(copy, card_mask, 0, 0)", ms)

        depth = s.own(depth_map(w, h))
        s.save("14-depth-map", depth, "a generated depth map (far top, near bottom, the cup nearest)", 0.0)
        focus, ms = s.step(util.GetMaskFromDepthBuffer, depth, 215, False, False)
        s.save("15-focus-mask", focus, "GetMaskFromDepthBuffer(depth, 215, False, False)", ms)
        in_focus = s.own(util.DuplicateImageBuffer(photo))
        _, ms = s.call(util.UpdateAlphaChannelByMask, in_focus, focus, 0, 0)
        s.save("16-focus-on-alpha", in_focus, "UpdateAlphaChannelByMask(copy, focus_mask, 0, 0)", ms)

        box, ms_box = s.call(util.GetBoundBox, cut)
        probe_x, probe_y = w // 2, h // 2
        probe, ms_probe = s.call(util.GetPixelInfo, photo, probe_x, probe_y, 3)
        marked = s.own(util.DuplicateImageBuffer(photo))
        if box is not None:
            outline(util, marked, box, (255, 255, 230, 40))
        outline(util, marked, (probe_x - 6, probe_y - 6, 13, 13), (255, 40, 220, 255), 2)
        s.save("17-box-and-probe", marked, "GetBoundBox(card_cut); GetPixelInfo(photo, "
               f"{probe_x}, {probe_y}, 3)", ms_box + ms_probe,
               f"box {box}; pixel (A, R, G, B) at the centre {probe[0] if probe else None}")

        pano = s.own(panorama())
        s.save("18-panorama", pano, "a generated 1024 x 512 equirectangular scene", 0.0)
        view, ms = s.step(util.Reconstruct, pano, 45.0, 10.0, 25.0)
        s.save("19-panorama-turned", view, "Reconstruct(pano, 45.0, 10.0, 25.0)  # yaw, roll, pitch", ms)

        # Any wrapped pointer serves as the window that owns the clipboard;
        # the utility object's own is at hand.
        copied, ms_copy = s.call(util.CopyToClipboard, util.this, photo)
        pasted, ms_paste = s.step(util.PasteFromClipboard, util.this)
        s.save("20-clipboard-round-trip", pasted, "CopyToClipboard(util.this, photo); PasteFromClipboard(util.this)",
               ms_copy + ms_paste, "same pixels: %s" % (zubuffer.to_bytes(pasted) == zubuffer.to_bytes(photo)))
        return s.write_sheet()
    finally:
        s.close()
