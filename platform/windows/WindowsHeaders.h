// The Win32 and Windows Sockets headers, included in the order Winsock 2 needs, without
// the Win32 macros that would rename the seam's own members (SendMessage).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#undef SendMessage
