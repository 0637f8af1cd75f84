// Which clipboard a call uses. DISPLAY is looked at on every call, so a
// script (or a test) that sets or clears it is followed at once.
#include <cstdlib>

#include "ClipboardPlatform.h"
#include "LocalClipboard.h"
#include "X11Clipboard.h"

namespace qel {
namespace clip {

std::string DisplayName()
{
    const char *pszDisplay = std::getenv("DISPLAY");
    return pszDisplay == nullptr ? std::string() : std::string(pszDisplay);
}

IClipboard &ChooseClipboard(const std::string &display)
{
    if (!display.empty()) {
        if (CX11Clipboard *pClipboard = CX11Clipboard::ForDisplay(display))
            return *pClipboard;
    }
    return CLocalClipboard::Instance();
}

} // namespace clip
} // namespace qel
