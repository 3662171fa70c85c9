// The Xlib headers every splash module and test uses. Xutil.h names its context-manager
// id type XContext (for XSaveContext, which the splash never uses); it is renamed here
// so that the picture loader's own XContext record keeps its name. Include this header
// instead of <X11/Xutil.h>, or before it.
#pragma once

#include <X11/Xlib.h>
#define XContext XlibContextId
#include <X11/Xutil.h>
#undef XContext
#include <X11/Xatom.h>
