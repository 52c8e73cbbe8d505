#include "core/TalvoraProgram.h"

#include <cmath>
#include <cstring>

namespace program
{
namespace
{
void putFloat (uint8_t*& out, float f) noexcept
{
    uint32_t bits;
    std::memcpy (&bits, &f, 4);
    out[0] = (uint8_t) bits;
    out[1] = (uint8_t) (bits >> 8);
    out[2] = (uint8_t) (bits >> 16);
    out[3] = (uint8_t) (bits >> 24);
    out += 4;
}

float getFloat (const uint8_t*& in) noexcept
{
    const uint32_t bits = (uint32_t) in[0] | ((uint32_t) in[1] << 8) | ((uint32_t) in[2] << 16) | ((uint32_t) in[3] << 24);
    in += 4;
    float f;
    std::memcpy (&f, &bits, 4);
    return f;
}

bool inUnit (float f) noexcept { return std::isfinite (f) && f >= 0.0f && f <= 1.0f; }
} // namespace

void toBytes (const TalvoraProgram& p, uint8_t* out) noexcept
{
    for (float f : p.parameters)
        putFloat (out, f);
    putFloat (out, p.octaveRatio);
    putFloat (out, p.octaveOffset);
    putFloat (out, p.spare);
    for (float f : p.wave)
        putFloat (out, f);
    std::memcpy (out, p.name, sizeof (p.name));
    out += sizeof (p.name);
    std::memcpy (out, p.comment, sizeof (p.comment));
}

void fromBytes (const uint8_t* in, TalvoraProgram& p) noexcept
{
    for (float& f : p.parameters)
        f = getFloat (in);
    p.octaveRatio = getFloat (in);
    p.octaveOffset = getFloat (in);
    p.spare = getFloat (in);
    for (float& f : p.wave)
        f = getFloat (in);
    std::memcpy (p.name, in, sizeof (p.name));
    in += sizeof (p.name);
    std::memcpy (p.comment, in, sizeof (p.comment));
}

bool isValid (const TalvoraProgram& p) noexcept
{
    for (float f : p.parameters)
        if (! inUnit (f))
            return false;

    // Checked as floats before any conversion to int.
    if (! std::isfinite (p.octaveRatio) || ! std::isfinite (p.spare) || ! std::isfinite (p.octaveOffset))
        return false;
    if (p.octaveOffset <= -25.0f || p.octaveOffset >= 25.0f)
        return false;
    const int offset = (int) p.octaveOffset; // toward zero
    if (offset != -24 && offset != -12 && offset != 0 && offset != 12 && offset != 24)
        return false;

    for (float s : p.wave)
        if (! std::isfinite (s) || s < -1.0f || s > 1.0f)
            return false;
    return true;
}
} // namespace program
