#include "Platform/WinApi.h"

#include <cwchar>

#include "Host/HostContext.h"

int WideCharToMultiByte(UINT, DWORD, const wchar_t* wide, int wideLength, char* out, int outSize,
                        const char* defaultChar, int* usedDefault) {
    if (!wide || Host::FaultFails("WideCharToMultiByte")) return 0;
    const std::size_t length = wideLength < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideLength);
    if (outSize == 0) return static_cast<int>(length);
    if (!out || static_cast<std::size_t>(outSize) < length) return 0;
    bool used = false;
    for (std::size_t i = 0; i < length; ++i) {
        const wchar_t c = wide[i];
        if (c >= 0 && c < 0x80) {
            out[i] = static_cast<char>(c);
        } else {
            out[i] = defaultChar ? *defaultChar : '?';
            used = true;
        }
    }
    if (usedDefault) *usedDefault = used ? 1 : 0;
    return static_cast<int>(length);
}
