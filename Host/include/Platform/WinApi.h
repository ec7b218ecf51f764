#pragma once

#include <cstdint>

#include "Util/HostApi.h"

// The few platform calls the engine makes, provided over POSIX by the host.
using WORD = std::uint16_t;
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using DWORD = std::uint32_t;
using HWND = void*;
using HMODULE = void*;
using FARPROC = void (*)();
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// Local time from the host clock (wDayOfWeek: 0 = Sunday).
HOST_API void GetLocalTime(SYSTEMTIME* out);

constexpr UINT CP_ACP = 0;
// Wide text to the ANSI code page (here: characters beyond 7 bits become
// the default character). With outSize 0 returns the bytes needed, counting
// the terminator when wideLength is -1; 0 on failure.
HOST_API int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideLength, char* out,
                                 int outSize, const char* defaultChar, int* usedDefault);

// Timers without a window belong to the host message loop and fire on the
// thread that runs it; elapse is in milliseconds of the host clock.
HOST_API UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC callback);
HOST_API int KillTimer(HWND window, UINT_PTR id);

// Run-time modules, looked up in the host's module folder; a name such as
// "FeaturesBridge.DLL" maps to "libFeaturesBridge.so".
HOST_API HMODULE LoadLibraryA(const char* name);
HOST_API FARPROC GetProcAddress(HMODULE module, const char* name);
HOST_API int FreeLibrary(HMODULE module);
