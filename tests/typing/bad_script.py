"""Mistakes the stubs must catch, one per line (the test reads the line numbers)."""
import PyQelBufferUtility
import zubuffer

util = PyQelBufferUtility.PyQelBufferUtility()
src = zubuffer.from_bytes(bytes(4), 1, 1, 4)
util.GetROI(src, 0, 0, 1.5, 1)
util.GetEmptyBuffer(1, 1)
zubuffer.to_bytes(util.GetROI(src, 0, 0, 1, 1))
util.SwapRBChannel("buffer")
name: str = util.RevealAlphaChannel(src)
