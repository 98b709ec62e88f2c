#pragma once

// <windows.h> for the Windows halves of the platform parts, without its min
// and max macros, which break the standard library's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
