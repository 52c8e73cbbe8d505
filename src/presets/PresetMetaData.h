#pragma once

// The metadata record of a preset: the head of every local preset file, the
// query and rows of a server list, and the record sent with uploads and
// deletes. Packed little-endian, 1776 bytes; files on disk and the server
// depend on this exact layout.
//
// Text fields are NUL-terminated 8-bit strings (UTF-8 bytes), but a record
// read from a file or the network may fill a field to its last byte: read
// them only through the bounded getters. The setters always leave a NUL.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#pragma pack(push, 1)
struct PresetMetaData
{
    char name[128];         // at most 127 bytes written
    char author[256];       // the author's e-mail; at most 127 bytes written
    double rating;          // filled by the server
    int32_t ratingCount;    // filled by the server
    char comments[256];     // at most 127 bytes written
    uint32_t isPublic;      // 1 shared publicly, 0 private
    char lastModified[32];  // local time "%Y-%m-%d %H:%M:%S"; at most 31 bytes written
    uint8_t reserved1[64];
    uint32_t categoryMask;  // bit k-1 for category k; in a list query 0 means all
    uint32_t listOffset;    // list query: first wanted row; list reply: the offset answered
    uint32_t listTotal;     // first record of a list reply: the paging count
    uint32_t version;       // 102 or 103: the program version that wrote it
    uint8_t reserved2[1008];

    // Every byte zero (a blank record, as a metadata request sends it).
    PresetMetaData() noexcept;

    // Zero-fill the field, then copy at most 127 (31 for the time) bytes.
    void setName (std::string_view text) noexcept;
    void setAuthor (std::string_view text) noexcept;
    void setComments (std::string_view text) noexcept;
    void setLastModified (std::string_view text) noexcept;

    // The text up to its first NUL or the field's end, whichever comes first.
    std::string_view getName() const noexcept;
    std::string_view getAuthor() const noexcept;
    std::string_view getComments() const noexcept;
    std::string_view getLastModified() const noexcept;

    // Name, author and last-modified time all non-empty.
    bool isComplete() const noexcept;
};
#pragma pack(pop)

static_assert (sizeof (PresetMetaData) == 1776, "metadata record size");
static_assert (std::is_trivially_copyable_v<PresetMetaData>, "copied byte for byte");
static_assert (offsetof (PresetMetaData, name) == 0, "name offset");
static_assert (offsetof (PresetMetaData, author) == 128, "author offset");
static_assert (offsetof (PresetMetaData, rating) == 384, "rating offset");
static_assert (offsetof (PresetMetaData, ratingCount) == 392, "rating count offset");
static_assert (offsetof (PresetMetaData, comments) == 396, "comments offset");
static_assert (offsetof (PresetMetaData, isPublic) == 652, "public flag offset");
static_assert (offsetof (PresetMetaData, lastModified) == 656, "last-modified offset");
static_assert (offsetof (PresetMetaData, reserved1) == 688, "first reserved block offset");
static_assert (offsetof (PresetMetaData, categoryMask) == 752, "category mask offset");
static_assert (offsetof (PresetMetaData, listOffset) == 756, "list offset offset");
static_assert (offsetof (PresetMetaData, listTotal) == 760, "list total offset");
static_assert (offsetof (PresetMetaData, version) == 764, "version offset");
static_assert (offsetof (PresetMetaData, reserved2) == 768, "second reserved block offset");

// The characters a local preset file name may hold (no space, no dot).
constexpr char OK_FILE_NAME_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_&#!1234567890@";
static_assert (sizeof (OK_FILE_NAME_CHARS) == 68 + 1, "68 file name characters");

namespace presetmeta
{
constexpr size_t kRecordSize = sizeof (PresetMetaData);
constexpr int kTextLength = 127;          // name, author, comments
constexpr int kLastModifiedLength = 31;

// The version the running program writes: 103 once a processor has been
// constructed, 102 before.
uint32_t currentVersion() noexcept;

// A blank record carrying currentVersion(): what a save or a list query starts from.
PresetMetaData newRecord() noexcept;

// Byte-exact little-endian conversion of kRecordSize bytes, whatever the
// machine's byte order. Text and reserved bytes are copied as they stand.
void toBytes (const PresetMetaData& md, uint8_t* out) noexcept;
void fromBytes (const uint8_t* in, PresetMetaData& md) noexcept;
} // namespace presetmeta

// The local file name of a record: the author up to its first "@", "_", the
// name, each byte outside OK_FILE_NAME_CHARS replaced by "_", then
// ".TalvoraXLPreset". The store applies the file system's own rule after this.
std::string presetMetaDataToFileName (const PresetMetaData& md);

// The order of the presets table, a strict weak ordering: complete records
// first, newest last-modified time first, then author, then name (byte-wise);
// incomplete records are equivalent to each other.
bool PresetMetaDataCompare (const PresetMetaData& a, const PresetMetaData& b) noexcept;
