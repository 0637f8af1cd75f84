"""What every script in bench/ does the same way: the command line, the
timing, the optional peer libraries, random pictures and the table of
times with their ratios.

A script imports this module from its own folder (python bench/bench_x.py
puts bench/ first on the path); nothing here is part of the package.
"""
import argparse
import importlib
import math
import os
import statistics
import time

import numpy as np

import PyQelBufferUtility
import zubuffer

OURS = "PyQelBufferUtility"

_missing = []  # labels of the peer libraries a script asked for and did not find


def peer_module(name, label):
    """The module `name` (e.g. "cv2", "PIL.Image"), or None when it is not
    installed: the table then shows the peers that are. The label goes into
    the banner's "(... not installed)" note."""
    try:
        return importlib.import_module(name)
    except ImportError:
        if label not in _missing:
            _missing.append(label)
        return None


def utility():
    """A new utility with tracing off: the switch is read at construction,
    and trace lines would be timed with the work."""
    os.environ.pop("QEL_DUMPMSG", None)
    return PyQelBufferUtility.PyQelBufferUtility()


def parse_args(doc, reps):
    """--width, --height and --reps from the command line; the script's doc
    string gives the description, `reps` the script's default. Returns
    (width, height, reps)."""
    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--width", type=int, default=4096)
    ap.add_argument("--height", type=int, default=3072)
    ap.add_argument("--reps", type=int, default=reps)
    args = ap.parse_args()
    return args.width, args.height, args.reps


def random_pixels(rng, w, h, channels=4, dtype=np.uint8):
    """Uniform random pixels over the whole range of `dtype`: an (h, w, c)
    array, or (h, w) for one channel."""
    shape = (h, w) if channels == 1 else (h, w, channels)
    return rng.integers(0, int(np.iinfo(dtype).max) + 1, size=shape, dtype=dtype)


def run_times(fns, reps, setup=None):
    """Seconds of each of `fns` over `reps` rounds after one warm-up round
    (first touch of code, allocator arenas and the OpenMP team). The
    functions take turns within a round, so a burst of load on the shared
    machine falls on all of them alike. `setup`, untimed, runs before each
    call (e.g. to refill a buffer an in-place method changes)."""
    times = [[] for _ in fns]
    for rnd in range(reps + 1):
        for fn, mine in zip(fns, times):
            if setup is not None:
                setup()
            t0 = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - t0
            if rnd:
                mine.append(elapsed)
    return times


def best_ms(fn, reps, setup=None):
    """Best of `reps` runs after a warm-up, in milliseconds: the machine is
    shared, and the best run is the one least disturbed by other work."""
    return min(run_times([fn], reps, setup)[0]) * 1000.0


def best_ms_each(fns, reps):
    """best_ms of each function, the functions taking turns in each round."""
    return [min(t) * 1000.0 for t in run_times(fns, reps)]


def median_ms(fn, reps):
    """Median of `reps` runs after a warm-up, in milliseconds."""
    return statistics.median(run_times([fn], reps)[0]) * 1000.0


def released(fn):
    """A timing function that calls a method returning a new buffer (or a
    tuple of them) and releases what it made, so allocation counts on our
    side as it does on the peers'."""
    def run():
        made = fn()
        for buf in made if isinstance(made, tuple) else (made,):
            if buf is None:
                raise RuntimeError("the method returned no buffer")
            zubuffer.release(buf)
    return run


def banner(w, h, reps, image="", statistic="best", extra=""):
    """The line above a table: the image, how times are taken, the machine,
    and which peer libraries are missing."""
    notes = "".join(f" ({label} not installed)" for label in _missing)
    print(f"image {w} x {h}{image}, {statistic} of {reps} runs, {os.cpu_count()} CPUs{extra}{notes}")


# Ratio columns of print_table:
PEER_OVER_OURS = "peer/ours"        # on each peer's line: its time / ours (above 1: ours is faster)
FASTEST_OVER_OURS = "fastest/ours"  # on our line: the fastest peer's time / ours
OVER_FASTEST = "x fastest"          # on every line: its time / the fastest peer's
OVER_COPY = "x copy"                # on every line: its time / the plain copy's


def case(operation, ours_ms, peers, copy_ms=None, copy_label=None, ours=OURS, more_ours=()):
    """One operation's lines for print_table: ours first (`more_ours`, e.g.
    another kernel of ours, right after it, without ratios of its own), then
    the peers [(name, ms)], then the plain copy of what the operation reads."""
    rows = [(ours, ours_ms, "ours")] + [(name, ms, "more") for name, ms in more_ours]
    rows += [(name, ms, "peer") for name, ms in peers]
    if copy_ms is not None:
        rows.append((copy_label, copy_ms, "copy"))
    return operation, rows


def measure(operation, fn_ours, peers, reps, timer=best_ms, read=None):
    """Times a plain copy of `read` (the array the operation reads, when
    given), then ours, then each peer [(name, fn)], each with `timer`;
    returns the operation's case for print_table."""
    copy_ms = timer(lambda: read.copy(), reps) if read is not None else None
    ours_ms = timer(fn_ours, reps)
    peer_ms = [(name, timer(fn, reps)) for name, fn in peers]
    label = None if read is None else f"copy of {read.nbytes >> 20} MiB read"
    return case(operation, ours_ms, peer_ms, copy_ms, label)


def print_table(cases, op_width, impl_width, columns):
    """Prints one line per implementation of each operation, with the
    ratio columns [(title, width, kind)] (kinds above). Returns the
    operations on which ours is slower than the fastest peer."""
    header = f"{'operation':{op_width}} {'implementation':{impl_width}} {'ms':>9}"
    header += "".join(f" {title:>{width}}" for title, width, _ in columns)
    print(header)
    print("-" * len(header))
    slower = []
    for operation, rows in cases:
        ours_ms = rows[0][1]
        fastest = min((ms for _, ms, role in rows if role == "peer"), default=math.inf)
        copy_ms = next((ms for _, ms, role in rows if role == "copy"), math.nan)
        for i, (impl, ms, role) in enumerate(rows):
            line = f"{operation if i == 0 else '':{op_width}} {impl:{impl_width}} {ms:9.2f}"
            for _, width, kind in columns:
                value = _ratio(kind, role, ms, ours_ms, fastest, copy_ms)
                line += f" {'' if value is None else f'{value:.2f}x':>{width}}"
            print(line.rstrip())
        if ours_ms > fastest:
            slower.append(operation)
    return slower


def _ratio(kind, role, ms, ours_ms, fastest, copy_ms):
    if kind == PEER_OVER_OURS:
        return ms / ours_ms if role == "peer" else None
    if kind == FASTEST_OVER_OURS:
        return fastest / ours_ms if role == "ours" else None
    if kind == OVER_FASTEST:
        return ms / fastest
    if kind == OVER_COPY:
        return ms / copy_ms
    raise ValueError(f"no ratio column {kind!r}")


def print_slower(slower):
    print("slower than the fastest peer: " + (", ".join(slower) if slower else "none"))
