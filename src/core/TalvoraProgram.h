#pragma once

// The program record: host state and preset content. Packed little-endian,
// 23758 bytes; presets on disk and on the server depend on this exact layout.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/parameters.h"

#pragma pack(push, 1)
struct TalvoraProgram
{
    float parameters[params::kNumParameters];
    float octaveRatio;     // 0.25, 0.5, 1, 2 or 4
    float octaveOffset;    // -24, -12, 0, 12 or 24 semitones
    float spare;           // always 0
    float wave[4096];      // wave buffer 0, the captured waveform
    char name[25];         // zero-terminated, at most 24 characters
    char comment[257];     // zero-terminated, at most 256 characters
};
#pragma pack(pop)

static_assert (sizeof (TalvoraProgram) == 23758, "program record size");
static_assert (offsetof (TalvoraProgram, octaveRatio) == 0x1BA8, "octave ratio offset");
static_assert (offsetof (TalvoraProgram, octaveOffset) == 0x1BAC, "octave offset offset");
static_assert (offsetof (TalvoraProgram, spare) == 0x1BB0, "spare offset");
static_assert (offsetof (TalvoraProgram, wave) == 0x1BB4, "wave offset");
static_assert (offsetof (TalvoraProgram, name) == 0x5BB4, "name offset");
static_assert (offsetof (TalvoraProgram, comment) == 0x5BCD, "comment offset");

namespace program
{
constexpr size_t kRecordSize = sizeof (TalvoraProgram);
constexpr int kNameLength = 24;
constexpr int kCommentLength = 256;

// Byte-exact little-endian conversion, whatever the machine's byte order.
void toBytes (const TalvoraProgram& p, uint8_t* out) noexcept;
void fromBytes (const uint8_t* in, TalvoraProgram& p) noexcept;

// True when the record's content may be loaded: every float finite, every
// parameter in [0, 1], the octave offset one of the five steps, every sample
// in [-1, 1].
bool isValid (const TalvoraProgram& p) noexcept;
} // namespace program
