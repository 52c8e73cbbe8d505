#pragma once

// The message record shared by preset-server requests and replies: a 16-byte
// little-endian header (reserved word, type, a word that requests set to 1,
// payload size) followed by the payload; requests may carry a metadata
// record after the payload, outside the size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "presets/PresetMetaData.h"

// Message types; the server knows them by these numbers.
enum RequestResponseType : int
{
    LIST_PRESETS = 1,     // request: query record, appended again; search text as a form field
    DOWNLOAD_PRESET = 2,  // request: the wanted preset's record, nothing appended
    UPLOAD_PRESET = 3,    // request: program record, its metadata appended
    TEXT_MESSAGE = 4,     // both: text without NUL; as a reply, an error text
    PRESET_LIST = 5,      // reply: u32 count, then count metadata records
    PRESET_DATA = 6,      // reply: the preset's data
    REQUEST_FAILED = 7,   // reply: an error text
    REQUEST_OK = 8,       // reply: no payload
    SERVER_ERROR = 9,     // reply: an error text
    EMPTY_REQUEST = 10,   // request: no payload
    DELETE_PRESET = 11,   // request: no payload, the preset's record appended
    GET_META_DATA = 13,   // request: a blank record, nothing appended
    META_DATA = 14,       // reply: the record of the newest program release
};

// A received message, its payload owned.
struct RequestResponse
{
    uint32_t reserved = 0;
    uint32_t type = 0;
    uint32_t protocol = 0;     // 1 in requests; not examined in replies
    int32_t size = 0;
    std::vector<char> payload; // exactly size bytes
};

namespace requestresponse
{
constexpr size_t kHeaderSize = 16;
constexpr int32_t kMaxPayloadSize = 0xFFFFF;      // a received size must stay below 1 MiB
constexpr size_t kReceiveBufferSize = 0x100000;   // what the connector decodes a reply into
constexpr int kMaxErrorTextLength = 127;

// The longest request: its closed base64 text and a terminating NUL still
// fit 1 MiB, the room the server and the connector give it.
constexpr size_t kMaxRequestSize = 775656;

// The bytes of a request of type 1, 2, 3, 4, 10, 11 or 13, as the server
// expects them:
//   LIST_PRESETS, DOWNLOAD_PRESET: payload = metaData (data is not used);
//   UPLOAD_PRESET, DELETE_PRESET, GET_META_DATA: payload = size bytes of data;
//   TEXT_MESSAGE: size bytes of data, or the NUL-terminated text when size is 0;
//   EMPTY_REQUEST: no payload.
// metaData is then appended for every type but DOWNLOAD_PRESET; types 1, 2, 3
// and 11 require it. Returns nothing (empty) for another type, a negative
// size, missing data or record, or a request longer than kMaxRequestSize.
std::vector<char> buildRequest (int type, const char* data, int size, const PresetMetaData* metaData);
} // namespace requestresponse

// Parses a received message from the decodedLength bytes at buffer. Null when
// the header is incomplete, the type is not 1 to 19, the size is negative or
// not below 1 MiB, or the payload would reach past the decoded bytes.
std::unique_ptr<RequestResponse> requestResponseFromBuffer (const char* buffer, size_t decodedLength);

// Thrown (by value) when a reply is not the one expected. The reply is shared,
// so copies made while the exception travels all see the same record.
class RequestResponseError
{
public:
    // text: for TEXT_MESSAGE, REQUEST_FAILED and SERVER_ERROR replies the
    // first 127 payload bytes, cut at a NUL; empty for anything else.
    explicit RequestResponseError (std::shared_ptr<const RequestResponse> reply);

    std::string text;
    std::shared_ptr<const RequestResponse> reply;
};

// For diagnostics only: "rr is null", "LIST_PRESETS", "DOWNLOAD_PRESET", or "".
std::string debugRequestResponseToString (const RequestResponse* rr);
