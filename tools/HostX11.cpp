// Xlib set-up for a console program that shows plug-in windows. Only a JUCE
// application gets these from JUCE itself; kept apart from JUCE's headers,
// whose names Xlib's macros would clash with.

#include <X11/Xlib.h>

namespace
{
// Plug-in windows come and go; Xlib's default handler ends the process on the
// first harmless error, such as a request for a window that just closed.
int ignoreXError (Display*, XErrorEvent*)
{
    return 0;
}
} // namespace

void prepareXlibForPluginWindows()
{
    XInitThreads(); // before any other Xlib call: JUCE's threads use the display too
    XSetErrorHandler (ignoreXError);
}
