// The one door through which the Windows API enters Vantrel.
//
// On Windows this is <windows.h> itself. Everywhere else it declares the small
// subset of the API that Vantrel calls, with the same names, types, values and
// meanings, so the product code reads the same on both; off Windows those
// functions are provided by the test double, never by the product.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include "platform/win32_subset.h"

#endif
