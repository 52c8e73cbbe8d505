#include "gui/CommonImages.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace
{
// A small generator of our own: the textures must not change when a library
// changes its random numbers.
class TextureRandom
{
public:
    explicit TextureRandom (uint32_t seed) noexcept : state (seed * 2654435761u + 1u) {}

    uint32_t next() noexcept
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }

    // Uniform in [0, 1).
    float unit() noexcept { return (float) (next() >> 8) * (1.0f / 16777216.0f); }

private:
    uint32_t state;
};

// Smooth noise: a coarse random grid, interpolated with a smoothstep.
class ValueNoise
{
public:
    ValueNoise (int width, int height, int cell, uint32_t seed)
        : cellSize (cell), cols (width / cell + 2), rows (height / cell + 2), grid ((size_t) (cols * rows))
    {
        TextureRandom r (seed);
        for (auto& v : grid)
            v = r.unit();
    }

    float at (int x, int y) const noexcept
    {
        const float fx = (float) x / (float) cellSize, fy = (float) y / (float) cellSize;
        const int ix = (int) fx, iy = (int) fy;
        const float tx = smooth (fx - (float) ix), ty = smooth (fy - (float) iy);
        const float a = cell (ix, iy), b = cell (ix + 1, iy), c = cell (ix, iy + 1), d = cell (ix + 1, iy + 1);
        return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
    }

private:
    static float smooth (float t) noexcept { return t * t * (3.0f - 2.0f * t); }
    float cell (int x, int y) const noexcept { return grid[(size_t) (y * cols + x)]; }

    int cellSize, cols, rows;
    std::vector<float> grid;
};

uint8_t toByte (float v) noexcept
{
    return (uint8_t) juce::jlimit (0, 255, (int) std::lround (v));
}
} // namespace

namespace CommonImages
{
juce::Image drawLeather()
{
    constexpr int w = 1280, h = 800;
    juce::Image image (juce::Image::RGB, w, h, false);
    const ValueNoise coarse (w, h, 40, 11), pores (w, h, 5, 12), creases (w, h, 17, 13);
    TextureRandom grain (14);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
    for (int y = 0; y < h; ++y)
    {
        for (int x = 0; x < w; ++x)
        {
            // Pebbled pores, darker creases where the crease noise crosses its middle.
            const float pore = pores.at (x, y);
            const float crease = std::abs (creases.at (x, y) - 0.5f);
            float v = 30.0f + 12.0f * coarse.at (x, y) + 10.0f * pore * pore
                      + 6.0f * grain.unit() - (crease < 0.04f ? 9.0f * (1.0f - crease / 0.04f) : 0.0f);
            data.setPixelColour (x, y, juce::Colour (toByte (v * 1.08f), toByte (v), toByte (v * 0.92f)));
        }
    }
    return image;
}

juce::Image drawBrushedMetal()
{
    constexpr int w = 900, h = 900;
    juce::Image image (juce::Image::ARGB, w, h, false);
    const ValueNoise sheen (w, h, 150, 21);
    TextureRandom r (22);

    // Each row is a horizontal streak: random values averaged over a long
    // window, so brightness runs along x and changes from row to row.
    std::vector<float> noise ((size_t) w), streak ((size_t) w);
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
    for (int y = 0; y < h; ++y)
    {
        for (auto& n : noise)
            n = r.unit();
        constexpr int window = 24;
        float sum = 0.0f;
        for (int x = 0; x < window; ++x)
            sum += noise[(size_t) x];
        for (int x = 0; x < w; ++x)
        {
            streak[(size_t) x] = sum / (float) window;
            sum += noise[(size_t) ((x + window) % w)] - noise[(size_t) x];
        }
        const float rowLevel = r.unit();
        for (int x = 0; x < w; ++x)
        {
            const float v = 120.0f + 40.0f * sheen.at (x, y) + 30.0f * (streak[(size_t) x] - 0.5f) * 2.0f
                            + 14.0f * (rowLevel - 0.5f) + 8.0f * (r.unit() - 0.5f);
            data.setPixelColour (x, y, juce::Colour (toByte (v), toByte (v), toByte (v * 1.03f)));
        }
    }
    return image;
}

juce::Image drawPerforatedMetal()
{
    constexpr int w = 1280, h = 800;
    constexpr float pitch = 8.0f, holeRadius = 2.3f;
    juce::Image image (juce::Image::RGB, w, h, false);
    const ValueNoise tarnish (w, h, 64, 31);
    TextureRandom r (32);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
    for (int y = 0; y < h; ++y)
    {
        // Staggered rows of round holes.
        const int row = (int) std::floor ((float) y / pitch + 0.5f);
        const float cy = (float) row * pitch;
        const float shift = (row & 1) != 0 ? pitch * 0.5f : 0.0f;
        for (int x = 0; x < w; ++x)
        {
            const float cx = std::floor (((float) x - shift) / pitch + 0.5f) * pitch + shift;
            const float dx = (float) x - cx, dy = (float) y - cy;
            const float dist = std::sqrt (dx * dx + dy * dy);
            float v = 34.0f + 10.0f * tarnish.at (x, y) + 5.0f * r.unit();
            if (dist < holeRadius)
                v = 8.0f + 4.0f * (dist / holeRadius);
            else if (dist < holeRadius + 1.2f)
                v += (dy > 0.0f ? 16.0f : -10.0f); // lit lower rim, shaded upper rim
            data.setPixelColour (x, y, juce::Colour (toByte (v), toByte (v * 1.02f), toByte (v * 1.06f)));
        }
    }
    return image;
}

juce::Image drawPatternTile()
{
    constexpr int size = 24;
    juce::Image image (juce::Image::ARGB, size, size, true);
    TextureRandom r (41);

    const juce::Image::BitmapData data (image, juce::Image::BitmapData::writeOnly);
    for (int y = 0; y < size; ++y)
    {
        for (int x = 0; x < size; ++x)
        {
            // A fine diagonal weave that tiles seamlessly (24 is a multiple of 6).
            const bool thread = ((x + y) % 6) < 2 || ((x - y + size) % 6) == 0;
            const float level = (thread ? 12.0f : 40.0f) + 10.0f * r.unit();
            const float alpha = (thread ? 230.0f : 150.0f) + 20.0f * r.unit();
            data.setPixelColour (x, y, juce::Colour (toByte (level), toByte (level), toByte (level + 4.0f), toByte (alpha)));
        }
    }
    return image;
}
} // namespace CommonImages

void Images::createMissing()
{
    using Draw = juce::Image (*)();
    static constexpr Draw draw[numImages] = { CommonImages::drawLeather, CommonImages::drawBrushedMetal,
                                              CommonImages::drawPerforatedMetal, CommonImages::drawPatternTile };
    for (int i = 0; i < numImages; ++i)
        if (! images[i].isValid())
            images[i] = draw[i]();
}
