// The one include of <windows.h> for the whole program.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifdef _WIN32_WINNT
#undef _WIN32_WINNT
#endif
// The oldest Windows the product runs on (2000), so the headers hide what it
// lacks; newer functions are looked up by name (platform/OptionalApi.h). Test
// programs, which run only on the test machine, may ask for newer headers.
#ifdef PELMO_NEWER_HEADERS
#define _WIN32_WINNT 0x0601
#else
#define _WIN32_WINNT 0x0500
#endif

#include <windows.h>
