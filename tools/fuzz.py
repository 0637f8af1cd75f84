#!/usr/bin/env python3
"""Random-call fuzz of every entry of _PyQelBufferUtility.

Entries and their parameters are read from the module itself (each entry's
doc string is its signature), so entries added later are fuzzed without
touching this file. Each call is built from the declared types: real
buffers of every allocation type and pixel size, None, wrong types, extreme
numbers and plausible values, with allocator faults armed some of the time.

A call passes when it returns or raises one of ALLOWED, leaves no buffer
locked, keeps every input buffer's reference count (plus the reference a
returned source carries) and leaves exactly the buffers it returned alive.

The calls run in a child process that writes each call to a log before
making it, so a crash or a sanitizer report names the call that caused it.

  tools/fuzz.py --seconds 300 --salt 7      # the long run
  tools/fuzz.py --calls 40 --entry GetROI   # one entry (substring match)
  tools/fuzz.py --threads 30                # the multi-thread comparison
"""
import argparse
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

E_FAIL = -2147467259
E_POINTER = -2147467261
E_INVALIDARG = -2147024809
E_OUTOFMEMORY = -2147024882

FAULT_OPS = ("lock", "lock_no_data", "allocateImageBuffer", "allocateFileMappingBuffer", "copyBufferData")
FAULT_HRS = (E_OUTOFMEMORY, E_FAIL, E_INVALIDARG, 0)


class Boom(Exception):
    """Raised by the hostile objects the fuzz hands over; a method that
    converts one may let it through."""


# What a call may raise: conversion refusals, the IndexError of reading a
# description tuple that is too short, and whatever our own hostile objects
# raise while the module converts them. SystemError ("returned a result
# with an exception set") and anything else is a fault.
ALLOWED = (TypeError, OverflowError, ValueError, IndexError, Boom)


# ---------------------------------------------------------------- signatures

class Param:
    __slots__ = ("type", "name", "default")

    def __init__(self, type_, name, default):
        self.type, self.name, self.default = type_, name, default

    def __repr__(self):
        return f"Param({self.type!r}, {self.name!r}, {self.default!r})"


class Signature:
    __slots__ = ("name", "params", "result")

    def __init__(self, name, params, result):
        self.name, self.params, self.result = name, params, result

    @property
    def required(self):
        return sum(1 for p in self.params if p.default is None)


_SIG = re.compile(r"^(\w+)\((.*)\)(?: -> (.+))?$")


def normalise_type(text):
    words = [w for w in text.replace("*", " * ").split() if w != "const"]
    return " ".join(words)


def parse_param(text):
    default = None
    if "=" in text:
        text, default = text.split("=", 1)
        default = default.strip()
    text = text.strip()
    type_text, _, name = text.rpartition(" ")
    return Param(normalise_type(type_text), name, default)


def parse_doc(doc):
    """The signatures a doc string holds, one per non-empty line ([] when
    the entry has none)."""
    sigs = []
    for raw in (doc or "").splitlines():
        raw = raw.strip()
        m = _SIG.match(raw)
        if not m:
            continue
        name, params, result = m.groups()
        plist = [parse_param(p) for p in params.split(",")] if params.strip() else []
        sigs.append(Signature(name, plist, normalise_type(result) if result else None))
    return sigs


def discover(mod):
    """(name, function, signatures) for every function of the module, in
    table order."""
    out = []
    for name, fn in vars(mod).items():
        if isinstance(fn, (types.BuiltinFunctionType, types.FunctionType)):
            out.append((name, fn, parse_doc(fn.__doc__)))
    return out


# ------------------------------------------------------------ value pools

INT_TYPES = {"int", "PIXEL_CONVERT_MODE", "HRESULT", "BOOL", "long"}
UINT_TYPES = {"UINT", "DWORD", "unsigned int", "unsigned long", "ULONG"}
WORD_TYPES = {"WORD", "unsigned short"}
FLOAT_TYPES = {"float", "double"}
BYTE_PTR_TYPES = {"byte *", "BYTE *"}
BUFFER_TYPE = "CQELImageBuffer *"
BUFFER_SIZES = [(1, 1), (2, 2), (3, 1), (1, 5), (7, 5), (13, 11), (33, 17), (64, 64), (5, 64), (64, 3)]
BYTE_ARRAY_SIZES = (1, 16, 64 * 64 * 8, 262144)
I32_MIN, I32_MAX = -2**31, 2**31 - 1


class Hostile:
    """Every conversion of it raises Boom."""

    def __index__(self):
        raise Boom("index")

    def __int__(self):
        raise Boom("int")

    def __float__(self):
        raise Boom("float")

    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")

    def __getitem__(self, i):
        raise Boom("getitem")

    def __bool__(self):
        raise Boom("bool")

    def __repr__(self):
        return "Hostile()"


class IndexOnly:
    def __index__(self):
        return 3

    def __repr__(self):
        return "IndexOnly()"


class FloatOnly:
    def __float__(self):
        return 1.5

    def __repr__(self):
        return "FloatOnly()"


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


class Dummy:
    """A plain instance for the initialisation hooks to attach pointers to."""


_LATER = object()


NAN, INF = float("nan"), float("inf")
FLOATS_EXTREME = [NAN, INF, -INF, 1e30, -1e30, 3.4028234663852886e38, -3.4028234663852886e38, 1e39, 5e-324, -0.0]
FLOATS_PLAIN = [0.0, 0.5, 1.0, -1.0, 0.25, 0.75, 2.0, 0.001, 0.999, 45.0, 90.0, -90.0, 180.0, 270.0, 360.0, 30.5]
# In-range extremes stay far from sizes the allocator grants slowly: two of
# them as a width and a height either fit in a few bytes or pass the cap.
INTS_EXTREME = [0, -1, 1, I32_MAX, I32_MIN, I32_MAX - 1, I32_MIN + 1, 2**31, -2**31 - 1, 2**32, 2**32 - 1,
                10**12, -10**12, 2**63, 2**100, 65535, 65536]


def short(v, bufname):
    """A call argument as the log shows it."""
    name = bufname(v)
    if name is not None:
        return name
    if isinstance(v, (tuple, list)):
        inner = ", ".join(short(x, bufname) for x in v[:6])
        more = f", ...{len(v)} items" if len(v) > 6 else ""
        o, c = ("(", ")") if isinstance(v, tuple) else ("[", "]")
        return f"{type(v).__name__}{o}{inner}{more}{c}" if type(v) not in (tuple, list) else f"{o}{inner}{more}{c}"
    if isinstance(v, (bytes, bytearray, memoryview)):
        return f"{type(v).__name__}[{len(v)}]"
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k!r}: {short(x, bufname)}" for k, x in list(v.items())[:5]) + "}"
    if isinstance(v, str):
        return repr(v[:20])
    r = repr(v)
    return r if len(r) < 60 else r[:57] + "..."


class Fuzzer:
    def __init__(self, mod, proxy, zb, salt, fault_rate=0.2, log_fd=None, hostile_rate=0.2, arity_rate=0.045):
        self.mod, self.proxy, self.zb = mod, proxy, zb
        self.rng = random.Random(salt)
        self.fault_rate = fault_rate
        self.hostile_rate, self.arity_rate = hostile_rate, arity_rate
        self.log_fd = log_fd
        self.calls = 0
        self.findings = []
        self.stats = {}            # entry -> {outcome: count}
        self.entries = [e for e in discover(mod) if self._fuzzable(e)]
        self.constants = sorted({v for k, v in vars(mod).items() if k.isupper() and isinstance(v, int)})
        self._build_pools()

    # -- set-up

    @staticmethod
    def _fuzzable(entry):
        name, _, sigs = entry
        return bool(sigs) or name.endswith(("_swiginit", "_swigregister"))

    def _class_of(self, type_name):
        return getattr(self.proxy, type_name, None)

    def _new_instance(self, type_name):
        cls = self._class_of(type_name)
        if isinstance(cls, type):
            return cls()
        maker = getattr(self.mod, "new_" + type_name, None)
        return maker() if maker is not None else None

    def _new_utility(self, allocator=None):
        saved = os.environ.get("QEL_BUFFER_ALLOCATOR")
        try:
            if allocator is not None:
                os.environ["QEL_BUFFER_ALLOCATOR"] = allocator
            return self._new_instance("PyQelBufferUtility")
        finally:
            if allocator is not None:
                if saved is None:
                    del os.environ["QEL_BUFFER_ALLOCATOR"]
                else:
                    os.environ["QEL_BUFFER_ALLOCATOR"] = saved

    def _pixels(self, w, h, bpp):
        rng = self.rng
        n = w * h * bpp
        kind = rng.random()
        if kind < 0.55:
            return rng.randbytes(n)
        if kind < 0.7:
            return bytes(n)
        if kind < 0.8:
            return b"\xff" * n
        # Alpha or mask patterns that steer the kernels' branches.
        vals = [0, 1, 127, 128, 254, 255]
        return bytes(rng.choices(vals, k=n))

    def _build_pools(self):
        self.buffers = []          # (object, label)
        self.label = {}            # pointer -> label
        self.dims = {}             # pointer -> (width, height)
        self.by_bpp = {}           # bytes per pixel -> pool buffers
        self._make_buffers()
        self._make_the_rest()

    def _make_buffers(self):
        """The buffers calls draw from: every allocation type and pixel
        size, a few small and odd sizes each, some file-mapped."""
        zb, rng = self.zb, self.rng
        for alloc_type in (0, 1, 2):
            for bpp in (1, 2, 3, 4, 6, 8):
                if alloc_type == 2 and bpp in (1, 2):
                    continue
                sizes = [(1, 1)] + rng.sample(BUFFER_SIZES[1:], 3)
                for w, h in sizes:
                    fm = rng.random() < 0.25
                    if rng.random() < 0.15:
                        buf = zb.allocate(w, h, bpp, alloc_type, fm)
                    else:
                        buf = zb.from_bytes(self._pixels(w, h, bpp), w, h, bpp, alloc_type, fm)
                    self._add_buffer(buf)
        # A few past the size at which the row drivers split the work into
        # bands of several rows.
        for w, h, bpp, alloc_type in ((640, 480, 4, 0), (1100, 1000, 1, 1), (520, 300, 8, 2)):
            self._add_buffer(zb.from_bytes(self._pixels(w, h, bpp), w, h, bpp, alloc_type, False))

    def _make_the_rest(self):
        zb, rng = self.zb, self.rng
        self.kept = []             # method results kept as further inputs
        self.main = self._new_utility()
        self.alt_utils = [self._new_utility(allocator="/nonexistent/libNoAllocator.so")]
        gone = self._new_utility()
        self.mod.PyQelBufferUtility_Uninitialize(gone)
        self.alt_utils.append(gone)
        self.records = {}
        self.graveyard = []        # (type name, object) handed to a delete_ entry
        self.byte_arrays = {"byte *": [], "BYTE *": []}
        for size in BYTE_ARRAY_SIZES:
            data = rng.randbytes(size)
            self.byte_arrays["byte *"].append((zb.byte_array(data), size))
            self.byte_arrays["BYTE *"].append((zb.BYTE_array(data), size))
        self.owned_arrays = []     # byte arrays methods handed over
        self.live_expected = zb.live_buffers()

    def _add_buffer(self, buf):
        info = self.zb.info(buf)
        fm = "f" if info["file_mapped"] else ""
        label = f"buf[{info['width']}x{info['height']}x{info['bpp']} t{info['alloc_type']}{fm}]"
        self.buffers.append((buf, label))
        self.label[int(buf)] = label
        self.dims[int(buf)] = (info["width"], info["height"])
        self.by_bpp.setdefault(info["bpp"], []).append(buf)

    def bufname(self, v):
        """The log's name for a buffer, utility or record of the harness."""
        if v is self.main:
            return "util"
        for i, u in enumerate(self.alt_utils):
            if v is u:
                return f"util-{'noalloc' if i == 0 else 'uninit'}{i}"
        try:
            if type(v).__name__ == "SwigPyObject":
                text = repr(v)
                if text.startswith("<Swig Object of type 'CQELImageBuffer *'"):
                    return self.label.get(int(v), "buf?")
                return text.replace("<Swig Object of type ", "<").split(" at ")[0] + f"@{int(v):x}>"
            this = getattr(v, "this", None)
            if this is not None and type(this).__name__ == "SwigPyObject":
                return f"{type(v).__name__}@{int(this):x}"
        except Exception:       # noqa: BLE001 - hostile objects
            return None
        return None

    def _record(self, type_name):
        pool = self.records.setdefault(type_name, [])
        if len(pool) < 3:
            inst = self._new_instance(type_name)
            if inst is not None:
                pool.append(inst)
        return self.rng.choice(pool) if pool else None

    # -- values

    def junk(self, depth=0, safe=False):
        """A value of some unexpected type. safe: nothing the harness keeps
        using (for destructive entries)."""
        rng = self.rng
        choices = [
            lambda: None, lambda: "", lambda: "1D", lambda: "x" * 40, lambda: b"", lambda: bytes(7),
            lambda: bytearray(12), lambda: memoryview(b"abcd"), lambda: (), lambda: (1,), lambda: (1, 2, 3),
            lambda: (1, 2, 3, 4), lambda: [1, 2, 3, 4], lambda: {}, lambda: {"a": 1}, lambda: {1, 2},
            lambda: 1.5, lambda: rng.choice(INTS_EXTREME), lambda: rng.choice(FLOATS_EXTREME), lambda: True,
            lambda: object(), lambda: Hostile(), lambda: IndexOnly(), lambda: FloatOnly(),
            lambda: TupleSub((1, 2, 3, 4)), lambda: ListSub([(0, 0), (1, 1)]), lambda: self.pick_buffer(),
            lambda: (lambda: 0), lambda: 1j, lambda: range(4),
        ]
        if not safe:
            choices += [
                lambda: self.main, lambda: self.rng.choice(self.byte_arrays[rng.choice(["byte *", "BYTE *"])])[0],
                lambda: self._record(rng.choice(["ZuPixelInfo", "TLSErrorCode", "ReconstructData"])),
            ]
        if depth < 2:
            choices.append(lambda: tuple(self.junk(depth + 1, safe) for _ in range(rng.randint(0, 6))))
            choices.append(lambda: [self.junk(depth + 1, safe) for _ in range(rng.randint(0, 6))])
        return rng.choice(choices)()

    def pick_buffer(self, like=None):
        rng = self.rng
        pool = self.buffers + self.kept
        if like is not None and rng.random() < 0.6:
            want = self.dims.get(int(like))
            same = [b for b in pool if self.dims.get(int(b[0])) == want]
            if rng.random() < 0.15:
                return like
            if same:
                return rng.choice(same)[0]
        bpp = rng.choice(sorted(self.by_bpp))
        if rng.random() < 0.8:
            return rng.choice(self.by_bpp[bpp])
        return rng.choice(pool)[0]

    def int_value(self, name, lo, hi, ctx):
        rng = self.rng
        n = name.lower()
        r = rng.random()
        if r < 0.05:
            v = rng.choice(INTS_EXTREME)
        elif r < 0.08:
            v = rng.choice(self.constants) if self.constants else 0
        else:
            dims = [d for b in ctx["buffers"] for d in self.dims.get(int(b), (1, 1))]
            bw, bh = self.dims.get(int(ctx["buffers"][0]), (1, 1)) if ctx["buffers"] else (8, 8)
            vertical = n in ("y", "ny", "h", "nh", "ntop") or "height" in n or n.endswith("y")
            extent = bh if vertical else bw
            sizeish = any(k in n for k in ("width", "height")) or n in ("w", "h", "nw", "nh")
            coordish = n in ("x", "y", "nx", "ny", "nleft", "ntop") or "start" in n or "end" in n
            if (sizeish or coordish) and rng.random() < 0.75:
                start = ctx.setdefault("start", {}).get(vertical)
                if sizeish and start is not None and 0 <= start <= extent and rng.random() < 0.7:
                    v = rng.randint(min(1, extent - start), extent - start)
                elif sizeish:
                    v = rng.choice([extent, rng.randint(1, max(1, extent))])
                else:
                    v = rng.randint(0, max(0, extent - 1))
                    ctx.setdefault("start", {})[vertical] = v
            elif sizeish:
                v = rng.choice([0, 1, 2, 3, 5, 7, 8, 13, 16, 33, 64, 65, -1] + dims * 3)
            elif coordish:
                v = rng.choice([rng.randint(-8, 70), rng.randint(-1, 3), rng.choice(dims) if dims else 0,
                                (rng.choice(dims) - 1) if dims else 0])
            elif "bpp" in n or "byteperpixel" in n:
                v = rng.choice([1, 2, 3, 4, 6, 8, 0, 5, 7, 16, -1])
            elif "type" in n:
                v = rng.choice([0, 1, 2, 0, 1, 2, 3, 7, -1])
            elif "color" in n:
                v = rng.getrandbits(32)
            elif "stride" in n:
                v = rng.choice([0, -1, rng.randint(1, 300)] + [d * k for d in dims for k in (1, 3, 4)])
            elif "hr" == n:
                v = rng.choice([0, 1, E_FAIL, E_POINTER, E_INVALIDARG])
            else:
                v = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1, 10, 100, 127, 128, 255, 256, 300, rng.randint(-3, 70)])
        if rng.random() < 0.9 and not lo <= v <= hi:
            v = max(lo, min(hi, v)) if rng.random() < 0.5 else v
        return v

    def float_value(self, name):
        rng = self.rng
        n = name.lower()
        r = rng.random()
        if r < 0.2:
            return rng.choice(FLOATS_EXTREME)
        if r < 0.3:
            return rng.choice([0, 1, -1, 2**53, 2**1024 if rng.random() < 0.2 else 7])
        if "alpha" in n or "ratio" in n:
            return rng.choice([0.0, 1.0, 0.5, rng.random(), -0.5, 1.5, 2.0])
        if any(k in n for k in ("angle", "yaw", "roll", "pitch")):
            return rng.choice(FLOATS_PLAIN + [rng.uniform(-720, 720)])
        return rng.choice(FLOATS_PLAIN + [rng.uniform(-100, 100)])

    def rect(self, ctx, n=4):
        rng = self.rng
        if ctx["buffers"] and rng.random() < 0.7:
            i = self.zb.info(rng.choice(ctx["buffers"]))
            w, h = i["width"], i["height"]
            x, y = rng.randint(0, w - 1), rng.randint(0, h - 1)
            vals = [x, y, rng.randint(0, w - x), rng.randint(0, h - y)]
            if rng.random() < 0.3:
                vals = [rng.choice([x, -x - 1, w, w + 5]), rng.choice([y, -1, h]),
                        rng.choice([0, w, w + 1, -1]), rng.choice([0, h, h + 1, -1])]
        else:
            vals = [rng.choice([0, 1, -1, 5, I32_MAX, I32_MIN, 64]) for _ in range(4)]
        if n == 5:
            vals.append(rng.choice([0.0, 1.5, NAN]))
        return tuple(vals)

    def points(self, ctx):
        rng = self.rng
        span = 70
        pts = []
        for _ in range(rng.choice([0, 1, 2, 3, 4, 4, 4, 5, 6, 8])):
            r = rng.random()
            if r < 0.8:
                pts.append((rng.uniform(-5, span), rng.uniform(-5, span)) if rng.random() < 0.5
                           else (rng.randint(-5, span), rng.randint(-5, span)))
            elif r < 0.9:
                pts.append((rng.choice(FLOATS_EXTREME), rng.choice(FLOATS_EXTREME + [2**70])))
            else:
                pts.append(self.junk(1))
        return ListSub(pts) if rng.random() < 0.05 else pts

    def value_map(self):
        rng = self.rng
        n = rng.choice([256, 256, 256, 255, 257, 0])
        items = []
        for i in range(n):
            r = rng.random()
            if r < 0.7:
                items.append(255 - i if i < 256 else i)
            elif r < 0.85:
                items.append(rng.uniform(-10, 300))
            elif r < 0.95:
                items.append(rng.choice([-5, 300, 10**30, -10**30, NAN, INF, -INF, 12.9]))
            else:
                items.append(rng.choice([True, None, "7", Hostile(), 2**70]))
        return tuple(items) if rng.random() < 0.9 else list(items)

    def lut(self):
        rng = self.rng
        kind = rng.choice(["1D", "3D", "3D", "1D", "", "1d", "3D ", b"1D", None, 5])
        n = rng.choice([0, 1, 2, 2, 3, 5, 17, -1, 2**40, None, "2"])
        per = 3 * (n if kind == "1D" else (n ** 3 if isinstance(n, int) and 0 <= n <= 17 else 0)) \
            if isinstance(n, int) and 0 <= n <= 17 else rng.randint(0, 30)
        length = rng.choice([per, per, per, max(0, per - 1), per + 3, 0, 3])
        data = [rng.random() for _ in range(length)]
        if data and rng.random() < 0.3:
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] = rng.choice([NAN, INF, -INF, 2.5, -1.0, 10**40, "x", None, Hostile()])
        lo = [0.0, 0.0, 0.0]
        hi = [1.0, 1.0, 1.0]
        if rng.random() < 0.3:
            lo = rng.choice([[0.5, 0.5, 0.5], [1.0, 1.0, 1.0], [0, 0], [NAN, 0, 0], "lo", [-1e30, 0, 0]])
        if rng.random() < 0.3:
            hi = rng.choice([[0.5, 0.5, 0.5], [0.0, 0.0, 0.0], [1, 1, 1, 1], [INF, 1, 1], None])
        desc = [kind, n, lo, hi, data]
        r = rng.random()
        if r < 0.05:
            desc = desc[:rng.randint(0, 4)]
        elif r < 0.1:
            desc = desc + [0]
        if rng.random() < 0.08:
            return list(desc)
        return tuple(desc)

    def pyobject(self, name, ctx):
        rng = self.rng
        n = name.lower()
        r = rng.random()
        if r < 0.2:
            return self.junk()
        if r < 0.3:
            return None
        if "roi" in n or "rect" in n:
            return self.rect(ctx, n=rng.choice([4, 4, 5]))
        if "256" in n or "map" in n:
            return self.value_map()
        if "boundary" in n or "lst" in n or "point" in n:
            return self.points(ctx)
        if "lut" in n:
            return self.lut()
        if "src" in n or "obj" in n or "data" in n:
            ints = ctx["ints"]
            w, h = ints.get("nWidth", 4), ints.get("nHeight", 4)
            stride = ints.get("nStride", 0)
            size = rng.choice([0, 1, 7, max(0, w * h * 3), max(0, stride * h), max(0, w * h * 3 - 1), 12288])
            size = min(max(size, 0), 1 << 20)
            data = rng.randbytes(size)
            return rng.choice([bytes, bytes, bytes, bytearray])(data)
        return rng.choice([self.rect(ctx), self.rect(ctx, 5), self.points(ctx), self.value_map(), self.lut(),
                           rng.randbytes(rng.randint(0, 64))])

    # -- calls

    def value_for(self, p, ctx, entry_name):
        rng = self.rng
        t = p.type
        hostile = ctx["hostile"]
        if p.name == "self":
            return self.self_value(t, entry_name, hostile)
        if hostile:
            return self.junk()
        if t == BUFFER_TYPE:
            if rng.random() < 0.06:
                return None
            like = ctx["buffers"][0] if ctx["buffers"] else None
            b = self.pick_buffer(like)
            ctx["buffers"].append(b)
            return b
        if t in INT_TYPES:
            v = self.int_value(p.name, I32_MIN, I32_MAX, ctx)
        elif t in UINT_TYPES:
            v = self.int_value(p.name, 0, 2**32 - 1, ctx)
        elif t in WORD_TYPES:
            v = self.int_value(p.name, 0, 65535, ctx)
        elif t == "bool":
            return rng.random() < 0.5
        elif t in FLOAT_TYPES:
            return self.float_value(p.name)
        elif t in BYTE_PTR_TYPES:
            if rng.random() < 0.1:
                return None
            if rng.random() < 0.05:
                other = "BYTE *" if t == "byte *" else "byte *"
                return rng.choice(self.byte_arrays[other])[0]
            return rng.choice(self.byte_arrays[t])[0]
        elif t == "HWND":
            return rng.choice([None, None, self.main, self.pick_buffer(), 5, self.byte_arrays["byte *"][0][0]])
        elif t == "PyObject *" or t == "PyObject":
            return _LATER   # built once the call's buffers and numbers are known
        elif t.endswith("*") or t in ("PyQelBufferUtility", "TLSErrorCode", "ZuPixelInfo", "ReconstructData"):
            tn = t.rstrip(" *")
            return self._record(tn) if rng.random() < 0.8 else None
        else:
            return self.junk()
        ctx["ints"][p.name] = v
        return v

    def self_value(self, t, entry_name, hostile):
        rng = self.rng
        tn = t.rstrip(" *")
        destructive = entry_name.startswith("delete_") or entry_name.endswith("_Uninitialize")
        if hostile:
            return self.junk(safe=destructive)
        dead = [obj for t, obj in self.graveyard if t == tn]
        if dead and rng.random() < 0.03:
            # An object deleted earlier: every entry must see it as null.
            return rng.choice(dead)
        if destructive:
            r = rng.random()
            if r < 0.1:
                return None
            if entry_name.endswith("_Uninitialize") and r < 0.3:
                return rng.choice(self.alt_utils)
            inst = self._new_utility() if tn == "PyQelBufferUtility" else self._new_instance(tn)
            if entry_name.endswith("_Uninitialize") and len(self.alt_utils) < 6:
                self.alt_utils.append(inst)
            elif entry_name.startswith("delete_"):
                self.graveyard.append((tn, inst))
                del self.graveyard[:-24]
            return inst
        if tn == "PyQelBufferUtility":
            r = rng.random()
            if r < 0.85:
                return self.main
            if r < 0.95:
                return rng.choice(self.alt_utils)
            return None
        return self._record(tn) if rng.random() < 0.95 else None

    def build_call(self, name, sigs):
        """(arguments, signature) for one call of the entry."""
        rng = self.rng
        if name.endswith("_swigregister"):
            # A class for the type: plain, with a destructor of each kind,
            # or not a class at all. The proper class is put back after.
            destroy = rng.choice([5, lambda *a: None, len, print, "x", None])
            klass = rng.choice([Dummy, type("Bogus", (), {"__swig_destroy__": destroy}), self.junk(safe=True),
                                self._class_of(name[:-len("_swigregister")])])
            args = [klass]
            if rng.random() < 0.1:
                args = [] if rng.random() < 0.5 else args + [None]
            return args, None
        if name.endswith("_swiginit"):
            # Only fresh objects: the hook links pointers into chains that
            # every later conversion walks, so a pool object passed here
            # would carry strangers into later calls.
            def fresh_pointer():
                return getattr(self.mod, rng.choice(["new_TLSErrorCode", "new_ZuPixelInfo", "new_ReconstructData"]))()
            target = rng.choice([Dummy(), Dummy(), self._new_instance("ZuPixelInfo"), self._new_utility()])
            if rng.random() < 0.3:
                # A second hook call on the same instance appends to its chain.
                self.mod.PyQelBufferUtility_swiginit(target, fresh_pointer())
            this = getattr(target, "this", None)
            ptr = rng.choice([fresh_pointer(), fresh_pointer(), rng.choice([None, 5, "x", (1, 2), Hostile()]),
                              this if this is not None else 5])
            args = [target, ptr]
            if rng.random() < 0.1:
                args = args[:rng.randint(0, 1)] if rng.random() < 0.5 else args + [None]
            return args, None
        sig = rng.choice(sigs)
        count = rng.randint(sig.required, len(sig.params)) if sig.params else 0
        # Most calls are well-formed; a hostile call has one bad argument
        # (rarely more), so that each conversion is reached on its own.
        bad = set()
        if count and rng.random() < self.hostile_rate:
            bad.add(rng.randrange(count))
            if rng.random() < 0.1:
                bad.add(rng.randrange(count))
        ctx = {"buffers": [], "ints": {}, "bad": bad}
        args = []
        for i, p in enumerate(sig.params[:count]):
            ctx["hostile"] = i in bad
            args.append(self.value_for(p, ctx, name))
        for i, p in enumerate(sig.params[:count]):
            if args[i] is _LATER:
                args[i] = self.pyobject(p.name, ctx)
        # A byte array is read for as many bytes as the sizes ask, and the
        # module cannot know an array's size: keep the product of the call's
        # int arguments within the array, or pass None.
        need = 8
        for i, p in enumerate(sig.params[:count]):
            if p.type in INT_TYPES | UINT_TYPES | WORD_TYPES and isinstance(args[i], int):
                need *= max(1, abs(args[i]))
        for i, p in enumerate(sig.params[:count]):
            if p.type in BYTE_PTR_TYPES and args[i] is not None and p.name != "self":
                sizes = {int(a): size for a, size in self.byte_arrays[p.type]}
                if type(args[i]).__name__ == "SwigPyObject" and int(args[i]) in sizes and sizes[int(args[i])] < need:
                    fit = [a for a, size in self.byte_arrays[p.type] if size >= need]
                    args[i] = rng.choice(fit) if fit else None
        r = rng.random() / max(self.arity_rate, 1e-9) * 0.045
        if r < 0.02:
            args = args[:-1] if args else [None]
        elif r < 0.04:
            args = args + [rng.choice([None, 0, True])]
        elif r < 0.045:
            args = []
        return args, sig

    def log(self, text):
        if self.log_fd is not None:
            os.write(self.log_fd, (text + "\n").encode("utf-8", "replace"))

    def finding(self, text):
        self.findings.append(text)
        self.log("FINDING " + text)

    def arm_faults(self):
        rng = self.rng
        if rng.random() >= self.fault_rate:
            return ""
        op = rng.choice(FAULT_OPS)
        count, hr, skip = rng.randint(1, 3), rng.choice(FAULT_HRS), rng.randint(0, 2)
        self.zb.fail_next(op, count, hr, skip)
        return f" faults=fail_next({op!r}, {count}, {hr}, skip={skip})"

    def pick_sse_level(self):
        """Now and then a lowered processor level, so the scalar paths run
        too (the module reads it at each call)."""
        if self.rng.random() < 0.15:
            level = str(self.rng.randint(0, 6))
            os.environ["QEL_SSE_LEVEL"] = level
            return f" QEL_SSE_LEVEL={level}"
        os.environ.pop("QEL_SSE_LEVEL", None)
        return ""

    def is_buffer(self, v):
        return type(v).__name__ == "SwigPyObject" and repr(v).startswith("<Swig Object of type 'CQELImageBuffer *'")

    def call_once(self, name, fn, sigs):
        zb = self.zb
        args, sig = self.build_call(name, sigs)
        inputs = []
        seen = set()
        for a in args:
            if self.is_buffer(a) and int(a) not in seen:
                seen.add(int(a))
                inputs.append((a, zb.info(a)["refcount"]))
        self.calls += 1
        desc = f"{name}(" + ", ".join(short(a, self.bufname) for a in args) + ")"
        faults = self.arm_faults() + self.pick_sse_level()
        self.log(f"#{self.calls} {desc}{faults}")
        try:
            result = fn(*args)
            error = None
        except ALLOWED as e:
            result, error = None, e
        except BaseException as e:     # noqa: BLE001 - any other type is what we look for
            result, error = None, e
            self.finding(f"{desc}{faults}: raised {type(e).__name__}: {e}")
        finally:
            zb.clear_faults()
        try:
            text = repr(result)
        except Exception as e:      # noqa: BLE001
            self.finding(f"{desc}{faults}: repr of the result raised {type(e).__name__}: {e}")
            text = "?"
        outcome = type(error).__name__ if error is not None else (
            "buffer" if self.is_buffer(result) else "None" if result is None else type(result).__name__)
        per = self.stats.setdefault(name, {})
        per[outcome] = per.get(outcome, 0) + 1
        self.check_result(desc + faults, sig, args, inputs, result, text, error)

    def check_result(self, desc, sig, args, inputs, result, text, error):
        zb = self.zb
        returned_input = None
        if self.is_buffer(result):
            for a, before in inputs:
                if int(a) == int(result):
                    returned_input = (a, before)
        for a, before in inputs:
            info = zb.info(a)
            if info["lock_count"] != 0:
                self.finding(f"{desc}: left {self.bufname(a)} locked ({info['lock_count']})")
                while zb.info(a)["lock_count"]:
                    # Nothing in the harness can unlock; stop using it.
                    break
            extra = info["refcount"] - before
            allowed = (0, 1) if returned_input is not None and int(returned_input[0]) == int(a) else (0,)
            if extra not in allowed:
                self.finding(f"{desc}: reference count of {self.bufname(a)} went from {before} to {info['refcount']}")
            if returned_input is not None and int(returned_input[0]) == int(a) and extra == 1:
                zb.release(a)
        if self.is_buffer(result) and returned_input is None:
            try:
                info = zb.info(result)
            except ValueError:
                self.finding(f"{desc}: returned a buffer that is not alive ({text})")
                info = None
            if info is not None:
                if info["lock_count"] != 0:
                    self.finding(f"{desc}: returned a buffer left locked")
                if info["refcount"] != 1:
                    self.finding(f"{desc}: returned a new buffer with {info['refcount']} references")
                if info["lock_count"] == 0 and info["refcount"] == 1 and len(self.kept) < 12 \
                        and self.rng.random() < 0.3 and info["width"] * info["height"] <= 64 * 64:
                    self.kept.append((result, None))
                    self.dims[int(result)] = (info["width"], info["height"])
                    self.label[int(result)] = f"kept[{info['width']}x{info['height']}x{info['bpp']} " \
                                              f"t{info['alloc_type']}]"
                    self.live_expected += 1
                else:
                    zb.release(result)
        elif type(result).__name__ == "SwigPyObject" and sig is not None and sig.result in BYTE_PTR_TYPES:
            known = {int(a) for lst in self.byte_arrays.values() for a, _ in lst}
            known |= {int(a) for a in self.owned_arrays}
            if int(result) not in known and not sig.name.endswith("_get") and int(result) != 0:
                self.owned_arrays.append(result)
                self.log(f"  -> byte array @{int(result):x}, ours to release")
        live = zb.live_buffers()
        if live != self.live_expected:
            self.finding(f"{desc}: {live - self.live_expected:+d} live buffers after the call")
            self.live_expected = live

    def release_arg(self, name, sig):
        """ReleaseByteArray-style entries take ownership: give them only the
        arrays the module handed out."""
        return "Release" in name and sig is not None and any(p.type in BYTE_PTR_TYPES for p in sig.params)

    def step(self, name, fn, sigs):
        if sigs and self.release_arg(name, sigs[0]):
            self.call_release(name, fn, sigs[0])
        else:
            self.call_once(name, fn, sigs)
        if name.endswith("_swigregister"):
            proper = self._class_of(name[:-len("_swigregister")])
            if isinstance(proper, type):
                fn(proper)

    def call_release(self, name, fn, sig):
        rng = self.rng
        args = []
        for p in sig.params:
            if p.name == "self":
                args.append(self.main if rng.random() < 0.9 else rng.choice([None, self.alt_utils[0], 3]))
            elif p.type in BYTE_PTR_TYPES:
                if self.owned_arrays and rng.random() < 0.7:
                    args.append(self.owned_arrays.pop(rng.randrange(len(self.owned_arrays))))
                else:
                    args.append(rng.choice([None, None, 0, "x", self.pick_buffer()]))
            else:
                args.append(self.junk())
        self.calls += 1
        desc = f"{name}(" + ", ".join(short(a, self.bufname) for a in args) + ")"
        self.log(f"#{self.calls} {desc}")
        try:
            fn(*args)
        except ALLOWED as e:
            # Refused before freeing: the array is still ours.
            for a in args:
                if type(a).__name__ == "SwigPyObject" and "byte" in repr(a).lower():
                    self.owned_arrays.append(a)
            del e
        except BaseException as e:     # noqa: BLE001
            self.finding(f"{desc}: raised {type(e).__name__}: {e}")

    def run(self, rounds=None, deadline=None, only=None):
        entries = [e for e in self.entries if only is None or any(o in e[0] for o in only)]
        done = 0
        while (rounds is None or done < rounds) and (deadline is None or time.monotonic() < deadline):
            order = list(entries)
            self.rng.shuffle(order)
            for name, fn, sigs in order:
                self.step(name, fn, sigs)
                if deadline is not None and time.monotonic() >= deadline:
                    break
            done += 1
        return done

    def finish(self):
        """Releases what the fuzz made and checks that the process is back
        where it started."""
        zb = self.zb
        for buf, _ in self.kept:
            if zb.info(buf)["lock_count"]:
                self.finding(f"kept buffer {self.bufname(buf)} is locked at the end")
            zb.release(buf)
        self.kept = []
        for buf, label in self.buffers:
            info = zb.info(buf)
            if info["lock_count"]:
                self.finding(f"{label} is locked at the end")
            if info["refcount"] != 1:
                self.finding(f"{label} holds {info['refcount']} references at the end")
            zb.release(buf)
        self.buffers = []
        for arr in self.owned_arrays:
            zb.free_byte_array(arr)
        self.owned_arrays = []
        for lst in self.byte_arrays.values():
            for arr, _ in lst:
                zb.free_byte_array(arr)
        return zb.live_buffers()


# ------------------------------------------------------------- the child

def child_main(opts):
    import _PyQelBufferUtility as mod
    import PyQelBufferUtility as proxy
    import zubuffer as zb

    fd = os.open(opts.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    start_live = zb.live_buffers()
    if opts.selftest_crash:
        os.write(fd, b"#1 selftest: a deliberate crash\n")
        import ctypes
        ctypes.string_at(0)
    fz = Fuzzer(mod, proxy, zb, opts.salt, fault_rate=opts.fault_rate, log_fd=fd)
    deadline = time.monotonic() + opts.seconds if opts.seconds else None
    fz.run(rounds=opts.calls if not opts.seconds else None, deadline=deadline, only=opts.entry or None)
    end_live = fz.finish()
    if end_live != start_live:
        fz.finding(f"{end_live - start_live:+d} live buffers after the fuzz released what it made")
    summary = {"calls": fz.calls, "findings": fz.findings, "entries": len(fz.entries), "stats": fz.stats}
    os.write(fd, ("SUMMARY " + json.dumps(summary) + "\n").encode())
    os.close(fd)
    return 0


def _last_call(log_text):
    calls = [ln for ln in log_text.splitlines() if ln.startswith("#")]
    return calls[-1] if calls else "(before the first call)"


def _report_lines(stderr_text):
    """The sanitizer's report (without its shadow-memory map), or the last
    lines of standard error that are not trace lines."""
    keep = [ln for ln in stderr_text.splitlines() if ln.strip() and not ln.startswith("[PyQelBufferUtility]")]
    for i, ln in enumerate(keep):
        if "ERROR: AddressSanitizer" in ln or "runtime error:" in ln or "Fatal Python error" in ln:
            out = []
            for rest in keep[i:]:
                if rest.startswith("Shadow bytes around"):
                    break
                out.append(rest)
            return out[:60]
    return keep[-40:]


def run_chunk(salt, calls=None, seconds=None, entry=(), fault_rate=0.2, timeout=600, selftest_crash=False,
              env=None):
    """Runs one child; returns a dict: calls, findings, crash (None or text)."""
    with tempfile.TemporaryDirectory(prefix="qelfuzz") as tmp:
        log = os.path.join(tmp, "calls.log")
        err = os.path.join(tmp, "stderr.txt")
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--salt", str(salt), "--log", log,
               "--fault-rate", str(fault_rate)]
        if seconds:
            cmd += ["--seconds", str(seconds)]
        else:
            cmd += ["--calls", str(calls)]
        for e in entry:
            cmd += ["--entry", e]
        if selftest_crash:
            cmd.append("--selftest-crash")
        child_env = dict(os.environ if env is None else env)
        child_env.setdefault("QEL_DUMPMSG", "1")
        # The clipboard entries use the process-local clipboard.
        for var in ("DISPLAY", "WAYLAND_DISPLAY"):
            child_env.pop(var, None)
        with open(err, "wb") as ferr:
            try:
                proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=ferr, env=child_env, timeout=timeout)
                rc = proc.returncode
            except subprocess.TimeoutExpired:
                rc = "timeout"
        log_text = open(log, encoding="utf-8", errors="replace").read() if os.path.exists(log) else ""
        err_text = open(err, encoding="utf-8", errors="replace").read()
    summary = None
    for ln in log_text.splitlines():
        if ln.startswith("SUMMARY "):
            summary = json.loads(ln[8:])
    calls_made = sum(1 for ln in log_text.splitlines() if ln.startswith("#"))
    if summary is not None and rc == 0:
        return {"calls": summary["calls"], "findings": summary["findings"], "crash": None,
                "stats": summary["stats"]}
    what = "hung" if rc == "timeout" else f"exit status {rc}"
    crash = (f"child (salt {salt}) {what} during call {_last_call(log_text)}\n"
             + "\n".join(_report_lines(err_text)))
    findings = [ln[8:] for ln in log_text.splitlines() if ln.startswith("FINDING ")]
    return {"calls": calls_made, "findings": findings, "crash": crash}


def run(salt=1, calls=None, seconds=None, entry=(), fault_rate=0.2, out=None, timeout=600):
    """Parent loop: one child for a bounded run; for a timed run, children
    one after another (a fresh salt after each crash) until time is up."""
    total = {"calls": 0, "findings": [], "crashes": []}
    if not seconds:
        r = run_chunk(salt, calls=calls, entry=entry, fault_rate=fault_rate, timeout=timeout)
        total["calls"] += r["calls"]
        total["findings"] += r["findings"]
        if r["crash"]:
            total["crashes"].append(r["crash"])
        total["stats"] = r.get("stats", {})
        return total
    end = time.monotonic() + seconds
    chunk_salt = salt
    while True:
        left = end - time.monotonic()
        if left < 1:
            break
        r = run_chunk(chunk_salt, seconds=min(left, 60), entry=entry, fault_rate=fault_rate,
                      timeout=min(left, 60) + 300)
        total["calls"] += r["calls"]
        total["findings"] += r["findings"]
        if r["crash"]:
            total["crashes"].append(r["crash"])
        if out is not None:
            print(f"salt {chunk_salt}: {r['calls']} calls, {len(r['findings'])} findings"
                  f"{', CRASH' if r['crash'] else ''}", file=out, flush=True)
        chunk_salt += 1
    return total


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--salt", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=0, help="run for this long (children of up to 60 s each)")
    ap.add_argument("--calls", type=int, default=20, help="calls per entry for a bounded run")
    ap.add_argument("--entry", action="append", default=[], help="only entries whose name contains this")
    ap.add_argument("--fault-rate", type=float, default=0.2)
    ap.add_argument("--stats", action="store_true", help="print each entry's outcomes (bounded runs)")
    ap.add_argument("--threads", type=float, default=0,
                    help="instead of fuzzing: run the multi-thread comparison for this many seconds")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--log", help=argparse.SUPPRESS)
    ap.add_argument("--selftest-crash", action="store_true", help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    if opts.child:
        return child_main(opts)
    if opts.threads:
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        import test_threads
        rounds = test_threads.hammer(seconds=opts.threads, salt=opts.salt)
        print(f"threads: {rounds} calls of the lock-releasing methods on 8 threads, results identical")
        return 0
    t0 = time.monotonic()
    total = run(opts.salt, calls=opts.calls, seconds=opts.seconds, entry=opts.entry, fault_rate=opts.fault_rate,
                out=sys.stdout)
    dt = time.monotonic() - t0
    print(f"{total['calls']} calls in {dt:.0f} s, {len(total['findings'])} findings, {len(total['crashes'])} crashes")
    if opts.stats:
        for name, per in sorted(total.get("stats", {}).items()):
            print(f"  {name}: " + ", ".join(f"{k} {v}" for k, v in sorted(per.items(), key=lambda kv: -kv[1])))
    for f in total["findings"][:50]:
        print("FINDING", f)
    for c in total["crashes"]:
        print("CRASH", c)
    return 1 if total["findings"] or total["crashes"] else 0


if __name__ == "__main__":
    sys.exit(main())
