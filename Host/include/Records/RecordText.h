#pragma once

#include <cstddef>
#include <string>

#include "Util/HostApi.h"

namespace Host {

// Copies text into a fixed record buffer of `size` bytes. Text that does not
// fit is cut at the last whole UTF-8 character that does, and the buffer is
// always NUL-terminated; nothing is ever written past `size`.
HOST_API void CopyBoundedText(char* buffer, std::size_t size, const char* text);
HOST_API void CopyBoundedText(char* buffer, std::size_t size, const std::string& text);

// The text of a fixed record buffer: up to its first NUL or its end.
HOST_API std::string BoundedText(const char* buffer, std::size_t size);

// Cuts a text to at most `maxBytes` bytes without splitting a UTF-8 character.
HOST_API std::string TruncateUtf8(const std::string& text, std::size_t maxBytes);
// How many bytes of `text` TruncateUtf8 keeps.
HOST_API std::size_t Utf8CutLength(const char* text, std::size_t length, std::size_t maxBytes);
// Characters (code points) of a UTF-8 text: the bytes that start one.
HOST_API std::size_t Utf8Length(const std::string& text);

} // namespace Host
