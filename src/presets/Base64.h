#pragma once

// Base64 as the preset server exchanges it: the encoder breaks its output
// into lines of 72 characters and closes with "=" padding and a line break;
// the decoder skips every character outside the alphabet (line breaks, "=",
// anything else) and never writes past the room it is given.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace base64
{
// The closed encoding of size bytes: 0 bytes give "\n".
std::string encode (const void* data, size_t size);

// Decodes text into out, storing at most capacity bytes; returns the number
// stored. Bytes beyond capacity are dropped.
size_t decode (const char* text, size_t length, void* out, size_t capacity) noexcept;

std::vector<char> decode (std::string_view text);
} // namespace base64
