// The server message record: request bytes as the server reads them, the
// parser's bounds on received replies, and the error that carries a reply.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "presets/Base64.h"
#include "presets/RequestResponse.h"

namespace
{
uint32_t wordAt (const std::vector<char>& bytes, size_t offset)
{
    const auto* b = reinterpret_cast<const uint8_t*> (bytes.data() + offset);
    return (uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24);
}

std::string slice (const std::vector<char>& bytes, size_t offset, size_t length)
{
    return offset + length <= bytes.size() ? std::string (bytes.data() + offset, length) : std::string();
}

// A received message: header words 0, type, 0, size, then payloadLength bytes.
std::vector<char> message (uint32_t type, int32_t size, size_t payloadLength)
{
    std::vector<char> bytes (16 + payloadLength, 'q');
    for (size_t i = 0; i < 4; ++i)
    {
        bytes[i] = bytes[8 + i] = 0;
        bytes[4 + i] = (char) (type >> (8 * i));
        bytes[12 + i] = (char) ((uint32_t) size >> (8 * i));
    }
    return bytes;
}

std::shared_ptr<RequestResponse> reply (uint32_t type, const std::string& payload)
{
    auto rr = std::make_shared<RequestResponse>();
    rr->type = type;
    rr->size = (int32_t) payload.size();
    rr->payload.assign (payload.begin(), payload.end());
    return rr;
}
} // namespace

TEST (RequestResponse, RequestsHaveTheLengthsAndHeadersTheServerReads)
{
    PresetMetaData md = presetmeta::newRecord();
    md.setName ("Big Pad 2");
    std::string mdBytes (presetmeta::kRecordSize, '\0');
    presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (mdBytes.data()));
    const std::string program (23758, 'p');
    const std::string blank (1776, '\0');

    struct Case { int type; const char* data; int size; const PresetMetaData* md; size_t length; int32_t sizeField; std::string payload; };
    const Case cases[] = {
        { DOWNLOAD_PRESET, nullptr, 0, &md, 1792, 1776, mdBytes },
        { DELETE_PRESET, nullptr, 0, &md, 1792, 0, "" },
        { LIST_PRESETS, "abc", 3, &md, 3568, 1776, mdBytes },
        { UPLOAD_PRESET, program.data(), (int) program.size(), &md, 25550, 23758, program },
        { GET_META_DATA, blank.data(), 1776, nullptr, 1792, 1776, blank },
        { EMPTY_REQUEST, nullptr, 0, nullptr, 16, 0, "" },
        { TEXT_MESSAGE, "hello", 0, nullptr, 21, 5, "hello" },
        { TEXT_MESSAGE, "hello", 2, &md, 1794, 2, "he" },
    };
    for (const auto& c : cases)
    {
        const auto bytes = requestresponse::buildRequest (c.type, c.data, c.size, c.md);
        ASSERT_EQ (bytes.size(), c.length) << "type " << c.type;
        EXPECT_EQ (wordAt (bytes, 0), 0u);
        EXPECT_EQ (wordAt (bytes, 4), (uint32_t) c.type);
        EXPECT_EQ (wordAt (bytes, 8), 1u);
        EXPECT_EQ ((int32_t) wordAt (bytes, 12), c.sizeField);
        EXPECT_EQ (slice (bytes, 16, c.payload.size()), c.payload) << "type " << c.type;
        if (c.md != nullptr && c.type != DOWNLOAD_PRESET)
            EXPECT_EQ (slice (bytes, c.length - 1776, 1776), mdBytes) << "record appended to type " << c.type;
    }
}

TEST (RequestResponse, RequestsThatCannotBeBuiltAreRefusedWhole)
{
    const PresetMetaData md = presetmeta::newRecord();
    char byte = 'x';
    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, &byte, -1, &md).empty());
    EXPECT_TRUE (requestresponse::buildRequest (TEXT_MESSAGE, &byte, -5, nullptr).empty());
    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, nullptr, 10, &md).empty());
    for (int type : std::initializer_list<int> { LIST_PRESETS, DOWNLOAD_PRESET, UPLOAD_PRESET, DELETE_PRESET })
        EXPECT_TRUE (requestresponse::buildRequest (type, &byte, 1, nullptr).empty()) << "type " << type;
    for (int type : std::initializer_list<int> { 0, PRESET_LIST, REQUEST_OK, 12, META_DATA, 20 })
        EXPECT_TRUE (requestresponse::buildRequest (type, nullptr, 0, &md).empty()) << "type " << type;

    // The largest request is the largest whose closed encoding and NUL fit 1 MiB.
    const size_t largest = requestresponse::kMaxRequestSize;
    const std::vector<char> data (largest + 1, 'd');
    const int fitting = (int) (largest - 16 - 1776);
    const auto request = requestresponse::buildRequest (UPLOAD_PRESET, data.data(), fitting, &md);
    ASSERT_EQ (request.size(), largest);
    EXPECT_LE (base64::encode (request.data(), request.size()).size() + 1, 1048576u);
    EXPECT_GT (base64::encode (data.data(), largest + 1).size() + 1, 1048576u);
    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, data.data(), fitting + 1, &md).empty());
}

TEST (RequestResponse, ParserAcceptsOnlyHeadersThatTheDecodedBytesBear)
{
    auto parse = [] (const std::vector<char>& bytes) { return requestResponseFromBuffer (bytes.data(), bytes.size()); };

    const auto empty = parse (message (19, 0, 0));
    ASSERT_NE (empty, nullptr);
    EXPECT_TRUE (empty->payload.empty());
    EXPECT_EQ (parse (std::vector<char> (1048576, 0)), nullptr);
    EXPECT_EQ (parse (message (20, 0, 0)), nullptr);
    EXPECT_EQ (parse (message (PRESET_DATA, -1, 0)), nullptr);
    EXPECT_EQ (requestResponseFromBuffer (message (PRESET_DATA, 0, 0).data(), 15), nullptr);

    auto full = message (PRESET_DATA, 1048575, 1048575);
    const auto largest = parse (full);
    ASSERT_NE (largest, nullptr);
    EXPECT_EQ (largest->payload, std::vector<char> (full.begin() + 16, full.end()));
    EXPECT_EQ (requestResponseFromBuffer (full.data(), full.size() - 1), nullptr);
    EXPECT_EQ (parse (message (PRESET_DATA, 1048576, 1048576)), nullptr);
    EXPECT_EQ (parse (message (PRESET_DATA, 5000, 100)), nullptr); // a reply cut short

    const std::string data = "program bytes";
    const PresetMetaData md = presetmeta::newRecord();
    const auto upload = parse (requestresponse::buildRequest (UPLOAD_PRESET, data.data(), (int) data.size(), &md));
    ASSERT_NE (upload, nullptr);
    EXPECT_EQ (upload->type, (uint32_t) UPLOAD_PRESET);
    EXPECT_EQ (std::string (upload->payload.begin(), upload->payload.end()), data);
}

TEST (RequestResponse, ErrorTextsAreBoundedAndOnlyFromTextReplies)
{
    const std::string longText = "E" + std::string (199, 'e');
    EXPECT_EQ (RequestResponseError (reply (REQUEST_FAILED, longText)).text, longText.substr (0, 127));
    EXPECT_EQ (RequestResponseError (reply (SERVER_ERROR, std::string ("short\0tail", 10))).text, "short");
    EXPECT_EQ (RequestResponseError (reply (TEXT_MESSAGE, "a text")).text, "a text");
    EXPECT_EQ (RequestResponseError (reply (REQUEST_FAILED, "")).text, "");
    EXPECT_EQ (RequestResponseError (reply (PRESET_LIST, "not a text")).text, "");
    EXPECT_EQ (RequestResponseError (nullptr).text, "");

    auto lying = reply (REQUEST_FAILED, "abc"); // size field beyond the payload held
    lying->size = 100;
    EXPECT_EQ (RequestResponseError (lying).text, "abc");
}

TEST (RequestResponse, ErrorCaughtByValueCopiedAndRethrownKeepsOneReply)
{
    const auto bytes = message (REQUEST_FAILED, 4, 4);
    std::unique_ptr<RequestResponse> parsed = requestResponseFromBuffer (bytes.data(), bytes.size());
    const RequestResponse* original = parsed.get();

    std::vector<RequestResponseError> kept;
    try
    {
        try
        {
            throw RequestResponseError (std::move (parsed));
        }
        catch (RequestResponseError e)
        {
            kept.push_back (e);
            RequestResponseError copy = e;
            throw copy;
        }
    }
    catch (RequestResponseError e)
    {
        kept.push_back (e);
    }

    ASSERT_EQ (kept.size(), 2u);
    EXPECT_EQ (kept[0].reply.get(), original);
    EXPECT_EQ (kept[1].reply.get(), original);
    EXPECT_EQ (kept[1].text, "qqqq");
    kept.clear(); // the last owner frees the reply, once (checked under the address sanitizer)
}
