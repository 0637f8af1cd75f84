"""An editor script as a user writes it; the stubs must accept all of it."""
from typing import Optional

import PyQelBufferUtility
import zubuffer

util = PyQelBufferUtility.PyQelBufferUtility()
src = zubuffer.from_bytes(bytes(4 * 6), 3, 2, 4)
mask: Optional[PyQelBufferUtility.CQELImageBuffer] = util.ImageBufferToMask(src)
if mask is not None:
    print(zubuffer.info(mask)["width"] + 1)
    zubuffer.release(mask)
hr: int = util.SetBufferColor(src, 255, 10, 20, 30, (0, 0, 2, 2))
roi = util.GetROI(src, 0, 0, 2, 1)
if roi is not None:
    data: bytes = zubuffer.to_bytes(roi)
    zubuffer.release(roi)
util.ClearBuffer(src, 0, 0, 3, 2, 0xFF000000)
mode: int = PyQelBufferUtility.PIXEL_CONVERT_INVERT_COLOR
zubuffer.release(src)
