#include "presets/RequestResponse.h"

#include <algorithm>
#include <cstring>

namespace
{
void putU32 (char* out, uint32_t v) noexcept
{
    out[0] = (char) (uint8_t) v;
    out[1] = (char) (uint8_t) (v >> 8);
    out[2] = (char) (uint8_t) (v >> 16);
    out[3] = (char) (uint8_t) (v >> 24);
}

uint32_t getU32 (const char* in) noexcept
{
    const auto* b = reinterpret_cast<const uint8_t*> (in);
    return (uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24);
}
} // namespace

namespace requestresponse
{
std::vector<char> buildRequest (int type, const char* data, int size, const PresetMetaData* metaData)
{
    if (size < 0)
        return {};

    const bool needsRecord = type == LIST_PRESETS || type == DOWNLOAD_PRESET || type == UPLOAD_PRESET || type == DELETE_PRESET;
    if (needsRecord && metaData == nullptr)
        return {};

    size_t payloadSize = 0;
    const char* payload = nullptr;
    switch (type)
    {
        case LIST_PRESETS:
        case DOWNLOAD_PRESET:
            payloadSize = presetmeta::kRecordSize;
            break;
        case UPLOAD_PRESET:
        case DELETE_PRESET:
        case GET_META_DATA:
            payloadSize = (size_t) size;
            payload = data;
            break;
        case TEXT_MESSAGE:
            payloadSize = size > 0 ? (size_t) size : (data != nullptr ? std::strlen (data) : 0);
            payload = data;
            break;
        case EMPTY_REQUEST:
            break;
        default:
            return {};
    }
    if (payloadSize > 0 && payload == nullptr && type != LIST_PRESETS && type != DOWNLOAD_PRESET)
        return {};

    const bool appendRecord = metaData != nullptr && type != DOWNLOAD_PRESET;
    const size_t length = kHeaderSize + payloadSize + (appendRecord ? presetmeta::kRecordSize : 0);
    if (payloadSize > kMaxRequestSize || length > kMaxRequestSize)
        return {};

    std::vector<char> bytes (length);
    char* out = bytes.data();
    putU32 (out, 0);
    putU32 (out + 4, (uint32_t) type);
    putU32 (out + 8, 1);
    putU32 (out + 12, (uint32_t) payloadSize);
    out += kHeaderSize;

    if (type == LIST_PRESETS || type == DOWNLOAD_PRESET)
        presetmeta::toBytes (*metaData, reinterpret_cast<uint8_t*> (out));
    else if (payloadSize > 0)
        std::memcpy (out, payload, payloadSize);
    out += payloadSize;

    if (appendRecord)
        presetmeta::toBytes (*metaData, reinterpret_cast<uint8_t*> (out));
    return bytes;
}
} // namespace requestresponse

std::unique_ptr<RequestResponse> requestResponseFromBuffer (const char* buffer, size_t decodedLength)
{
    using namespace requestresponse;
    if (buffer == nullptr || decodedLength < kHeaderSize)
        return nullptr;

    auto rr = std::make_unique<RequestResponse>();
    rr->reserved = getU32 (buffer);
    rr->type = getU32 (buffer + 4);
    rr->protocol = getU32 (buffer + 8);
    rr->size = (int32_t) getU32 (buffer + 12);

    // The size is bounded by what was actually decoded: a cut-off reply must
    // not pass as a payload padded with whatever follows it.
    if (rr->type < 1 || rr->type > 19 || rr->size < 0 || rr->size > kMaxPayloadSize
        || (size_t) rr->size > decodedLength - kHeaderSize)
        return nullptr;

    rr->payload.assign (buffer + kHeaderSize, buffer + kHeaderSize + rr->size);
    return rr;
}

RequestResponseError::RequestResponseError (std::shared_ptr<const RequestResponse> replyIn)
    : reply (std::move (replyIn))
{
    if (reply == nullptr)
        return;
    const bool carriesText = reply->type == TEXT_MESSAGE || reply->type == REQUEST_FAILED || reply->type == SERVER_ERROR;
    if (! carriesText || reply->size < 1)
        return;

    const size_t length = std::min ({ (size_t) reply->size, reply->payload.size(), (size_t) requestresponse::kMaxErrorTextLength });
    const char* begin = reply->payload.data();
    text.assign (begin, std::find (begin, begin + length, '\0'));
}

std::string debugRequestResponseToString (const RequestResponse* rr)
{
    if (rr == nullptr)
        return "rr is null";
    if (rr->type == LIST_PRESETS)
        return "LIST_PRESETS";
    if (rr->type == DOWNLOAD_PRESET)
        return "DOWNLOAD_PRESET";
    return {};
}
