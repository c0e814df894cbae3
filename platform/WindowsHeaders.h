// SPDX-License-Identifier: MIT
// <windows.h> the one way this program includes it: without the rarely used
// parts, and without the min/max macros that break the standard library.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
