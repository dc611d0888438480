// The shipped 32-bit program's Windows records must have their documented
// full sizes; a header or packing mistake would otherwise fail only at run time.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W must be 556 bytes");
static_assert(sizeof(WNDCLASSEXW) == 48, "WNDCLASSEXW must be 48 bytes");
static_assert(sizeof(NOTIFYICONDATAW) == 956, "NOTIFYICONDATAW must be 956 bytes");
#endif
