#include "presets/Base64.h"

#include <algorithm>
#include <climits>
#include <cstring>

extern "C"
{
#include <b64/cdecode.h>
#include <b64/cencode.h>
}

namespace base64
{
std::string encode (const void* data, size_t size)
{
    // 4 characters a group, a line break every 18 groups, then up to 4
    // characters of padding and the closing line break.
    const size_t groups = size / 3 + 1;
    std::string text (groups * 4 + groups / 18 + 8, '\0');

    base64_encodestate state;
    base64_init_encodestate (&state);
    const char* in = static_cast<const char*> (data);
    size_t written = 0;
    for (size_t done = 0; done < size;)
    {
        const int chunk = (int) std::min<size_t> (size - done, 3u << 28);
        written += (size_t) base64_encode_block (in + done, chunk, &text[written], &state);
        done += (size_t) chunk;
    }
    written += (size_t) base64_encode_blockend (&text[written], &state);
    text.resize (written);
    return text;
}

size_t decode (const char* text, size_t length, void* out, size_t capacity) noexcept
{
    // The library writes one byte past what it reports and cannot be told
    // the room left, so it decodes into a scratch block and only what fits
    // is copied out.
    constexpr size_t kChunk = 4096;
    char scratch[kChunk];
    base64_decodestate state;
    base64_init_decodestate (&state);

    auto* dest = static_cast<char*> (out);
    size_t stored = 0;
    for (size_t done = 0; done < length && stored < capacity;)
    {
        const size_t chunk = std::min (length - done, kChunk);
        const size_t produced = (size_t) base64_decode_block (text + done, (int) chunk, scratch, &state);
        const size_t copied = std::min (produced, capacity - stored);
        std::memcpy (dest + stored, scratch, copied);
        stored += copied;
        done += chunk;
    }
    return stored;
}

std::vector<char> decode (std::string_view text)
{
    std::vector<char> bytes (text.size() / 4 * 3 + 3);
    bytes.resize (decode (text.data(), text.size(), bytes.data(), bytes.size()));
    return bytes;
}
} // namespace base64
