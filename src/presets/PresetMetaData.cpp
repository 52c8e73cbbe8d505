#include "presets/PresetMetaData.h"

#include <algorithm>
#include <cstring>

#include "core/globalStuff.h"

namespace
{
template <size_t N>
void setField (char (&field)[N], std::string_view text, size_t maxBytes) noexcept
{
    static_assert (N > 0);
    std::memset (field, 0, N);
    std::memcpy (field, text.data(), std::min ({ text.size(), maxBytes, N - 1 }));
}

template <size_t N>
std::string_view getField (const char (&field)[N]) noexcept
{
    const void* nul = std::memchr (field, 0, N);
    return { field, nul != nullptr ? (size_t) (static_cast<const char*> (nul) - field) : N };
}

void putU32 (uint8_t* out, uint32_t v) noexcept
{
    out[0] = (uint8_t) v;
    out[1] = (uint8_t) (v >> 8);
    out[2] = (uint8_t) (v >> 16);
    out[3] = (uint8_t) (v >> 24);
}

uint32_t getU32 (const uint8_t* in) noexcept
{
    return (uint32_t) in[0] | ((uint32_t) in[1] << 8) | ((uint32_t) in[2] << 16) | ((uint32_t) in[3] << 24);
}

bool fileNameChar (unsigned char c) noexcept
{
    return c != 0 && std::memchr (OK_FILE_NAME_CHARS, c, sizeof (OK_FILE_NAME_CHARS) - 1) != nullptr;
}
} // namespace

PresetMetaData::PresetMetaData() noexcept
{
    std::memset (static_cast<void*> (this), 0, sizeof (*this));
}

void PresetMetaData::setName (std::string_view text) noexcept { setField (name, text, presetmeta::kTextLength); }
void PresetMetaData::setAuthor (std::string_view text) noexcept { setField (author, text, presetmeta::kTextLength); }
void PresetMetaData::setComments (std::string_view text) noexcept { setField (comments, text, presetmeta::kTextLength); }
void PresetMetaData::setLastModified (std::string_view text) noexcept { setField (lastModified, text, presetmeta::kLastModifiedLength); }

std::string_view PresetMetaData::getName() const noexcept { return getField (name); }
std::string_view PresetMetaData::getAuthor() const noexcept { return getField (author); }
std::string_view PresetMetaData::getComments() const noexcept { return getField (comments); }
std::string_view PresetMetaData::getLastModified() const noexcept { return getField (lastModified); }

bool PresetMetaData::isComplete() const noexcept
{
    return name[0] != 0 && author[0] != 0 && lastModified[0] != 0;
}

namespace presetmeta
{
uint32_t currentVersion() noexcept
{
    return TALVORA_XL_VERSION.load (std::memory_order_relaxed) ? 103u : 102u;
}

PresetMetaData newRecord() noexcept
{
    PresetMetaData md;
    md.version = currentVersion();
    return md;
}

void toBytes (const PresetMetaData& md, uint8_t* out) noexcept
{
    std::memcpy (out + offsetof (PresetMetaData, name), md.name, sizeof (md.name));
    std::memcpy (out + offsetof (PresetMetaData, author), md.author, sizeof (md.author));
    uint64_t ratingBits;
    std::memcpy (&ratingBits, &md.rating, 8);
    putU32 (out + offsetof (PresetMetaData, rating), (uint32_t) ratingBits);
    putU32 (out + offsetof (PresetMetaData, rating) + 4, (uint32_t) (ratingBits >> 32));
    putU32 (out + offsetof (PresetMetaData, ratingCount), (uint32_t) md.ratingCount);
    std::memcpy (out + offsetof (PresetMetaData, comments), md.comments, sizeof (md.comments));
    putU32 (out + offsetof (PresetMetaData, isPublic), md.isPublic);
    std::memcpy (out + offsetof (PresetMetaData, lastModified), md.lastModified, sizeof (md.lastModified));
    std::memcpy (out + offsetof (PresetMetaData, reserved1), md.reserved1, sizeof (md.reserved1));
    putU32 (out + offsetof (PresetMetaData, categoryMask), md.categoryMask);
    putU32 (out + offsetof (PresetMetaData, listOffset), md.listOffset);
    putU32 (out + offsetof (PresetMetaData, listTotal), md.listTotal);
    putU32 (out + offsetof (PresetMetaData, version), md.version);
    std::memcpy (out + offsetof (PresetMetaData, reserved2), md.reserved2, sizeof (md.reserved2));
}

void fromBytes (const uint8_t* in, PresetMetaData& md) noexcept
{
    std::memcpy (md.name, in + offsetof (PresetMetaData, name), sizeof (md.name));
    std::memcpy (md.author, in + offsetof (PresetMetaData, author), sizeof (md.author));
    const uint64_t ratingBits = (uint64_t) getU32 (in + offsetof (PresetMetaData, rating))
                              | ((uint64_t) getU32 (in + offsetof (PresetMetaData, rating) + 4) << 32);
    std::memcpy (&md.rating, &ratingBits, 8);
    md.ratingCount = (int32_t) getU32 (in + offsetof (PresetMetaData, ratingCount));
    std::memcpy (md.comments, in + offsetof (PresetMetaData, comments), sizeof (md.comments));
    md.isPublic = getU32 (in + offsetof (PresetMetaData, isPublic));
    std::memcpy (md.lastModified, in + offsetof (PresetMetaData, lastModified), sizeof (md.lastModified));
    std::memcpy (md.reserved1, in + offsetof (PresetMetaData, reserved1), sizeof (md.reserved1));
    md.categoryMask = getU32 (in + offsetof (PresetMetaData, categoryMask));
    md.listOffset = getU32 (in + offsetof (PresetMetaData, listOffset));
    md.listTotal = getU32 (in + offsetof (PresetMetaData, listTotal));
    md.version = getU32 (in + offsetof (PresetMetaData, version));
    std::memcpy (md.reserved2, in + offsetof (PresetMetaData, reserved2), sizeof (md.reserved2));
}
} // namespace presetmeta

std::string presetMetaDataToFileName (const PresetMetaData& md)
{
    const std::string_view author = md.getAuthor();
    std::string fileName (author.substr (0, author.find ('@')));
    fileName += '_';
    fileName += md.getName();

    for (char& c : fileName)
        if (! fileNameChar ((unsigned char) c))
            c = '_';

    return fileName + ".TalvoraXLPreset";
}

bool PresetMetaDataCompare (const PresetMetaData& a, const PresetMetaData& b) noexcept
{
    if (! a.isComplete())
        return false;
    if (! b.isComplete())
        return true;

    // The time format makes byte order time order; newest first.
    if (const int byTime = a.getLastModified().compare (b.getLastModified()); byTime != 0)
        return byTime > 0;
    if (const int byAuthor = a.getAuthor().compare (b.getAuthor()); byAuthor != 0)
        return byAuthor < 0;
    return a.getName() < b.getName();
}
