// Whether the viewer window has a display to open on, asked before the
// toolkit starts (the toolkit aborts the process when it finds none).
#pragma once

#include <string>

// Empty when a display looks usable; otherwise why not, for one line of
// diagnostics. Only a local X display is actually tried (its socket);
// Wayland, remote X and an explicitly chosen platform plug-in are trusted.
std::string MissingDisplayReason();
