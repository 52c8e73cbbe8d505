// The server message record: request bytes as the server reads them, the
// parser's bounds on received replies, and the error that carries a reply.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

std::vector<char> recordBytes (const PresetMetaData& md)
{
    std::vector<char> bytes (presetmeta::kRecordSize);
    presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (bytes.data()));
    return bytes;
}

bool holdsAt (const std::vector<char>& bytes, size_t offset, const std::vector<char>& part)
{
    return offset + part.size() <= bytes.size() && std::equal (part.begin(), part.end(), bytes.begin() + (long) offset);
}

std::vector<char> header (uint32_t type, int32_t size)
{
    std::vector<char> bytes (16, 0);
    for (int i = 0; i < 4; ++i)
    {
        bytes[4 + (size_t) i] = (char) (type >> (8 * i));
        bytes[12 + (size_t) i] = (char) ((uint32_t) size >> (8 * i));
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
    md.setAuthor ("jo.doe@x.org");
    const auto mdBytes = recordBytes (md);
    const std::vector<char> program (23758, 'p');

    struct Case { int type; const char* data; int size; const PresetMetaData* md; size_t length; int32_t sizeField; };
    const Case cases[] = {
        { DOWNLOAD_PRESET, nullptr, 0, &md, 1792, 1776 },
        { DELETE_PRESET, nullptr, 0, &md, 1792, 0 },
        { LIST_PRESETS, "abc", 3, &md, 3568, 1776 },
        { UPLOAD_PRESET, program.data(), (int) program.size(), &md, 25550, 23758 },
        { UPLOAD_PRESET, nullptr, 0, &md, 1792, 0 },
        { EMPTY_REQUEST, nullptr, 0, nullptr, 16, 0 },
        { TEXT_MESSAGE, "hello", 0, nullptr, 21, 5 },
        { TEXT_MESSAGE, "hello", 2, &md, 1794, 2 },
    };
    for (const auto& c : cases)
    {
        const auto bytes = requestresponse::buildRequest (c.type, c.data, c.size, c.md);
        ASSERT_EQ (bytes.size(), c.length) << "type " << c.type;
        EXPECT_EQ (wordAt (bytes, 0), 0u);
        EXPECT_EQ (wordAt (bytes, 4), (uint32_t) c.type);
        EXPECT_EQ (wordAt (bytes, 8), 1u);
        EXPECT_EQ ((int32_t) wordAt (bytes, 12), c.sizeField);
        if (c.md != nullptr && c.type != DOWNLOAD_PRESET)
            EXPECT_TRUE (holdsAt (bytes, c.length - 1776, mdBytes)) << "record appended to type " << c.type;
    }

    EXPECT_TRUE (holdsAt (requestresponse::buildRequest (LIST_PRESETS, "abc", 3, &md), 16, mdBytes));
    EXPECT_TRUE (holdsAt (requestresponse::buildRequest (DOWNLOAD_PRESET, nullptr, 0, &md), 16, mdBytes));
    EXPECT_TRUE (holdsAt (requestresponse::buildRequest (UPLOAD_PRESET, program.data(), (int) program.size(), &md), 16, program));
    EXPECT_TRUE (holdsAt (requestresponse::buildRequest (TEXT_MESSAGE, "hello", 0, nullptr), 16, { 'h', 'e', 'l', 'l', 'o' }));

    const std::vector<char> blank (1776, 0);
    const auto metaRequest = requestresponse::buildRequest (GET_META_DATA, blank.data(), 1776, nullptr);
    ASSERT_EQ (metaRequest.size(), 1792u);
    EXPECT_TRUE (holdsAt (metaRequest, 16, blank));
}

TEST (RequestResponse, RequestsThatCannotBeBuiltAreRefusedWhole)
{
    PresetMetaData md = presetmeta::newRecord();
    char byte = 'x';

    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, &byte, -1, &md).empty());
    EXPECT_TRUE (requestresponse::buildRequest (TEXT_MESSAGE, &byte, -5, nullptr).empty());
    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, nullptr, 10, &md).empty());
    for (int type : std::initializer_list<int> { LIST_PRESETS, DOWNLOAD_PRESET, UPLOAD_PRESET, DELETE_PRESET })
        EXPECT_TRUE (requestresponse::buildRequest (type, &byte, 1, nullptr).empty()) << "type " << type;
    for (int type : std::initializer_list<int> { 0, PRESET_LIST, PRESET_DATA, REQUEST_OK, 12, META_DATA, 20 })
        EXPECT_TRUE (requestresponse::buildRequest (type, nullptr, 0, &md).empty()) << "type " << type;

    // The largest request whose closed encoding and NUL fit 1 MiB is built;
    // one byte more is refused.
    const size_t largest = requestresponse::kMaxRequestSize;
    std::vector<char> data (largest + 1, 'd');
    const int fitting = (int) (largest - 16 - 1776);
    const auto request = requestresponse::buildRequest (UPLOAD_PRESET, data.data(), fitting, &md);
    ASSERT_EQ (request.size(), largest);
    EXPECT_LE (base64::encode (request.data(), request.size()).size() + 1, 1048576u);
    EXPECT_GT (base64::encode (data.data(), largest + 1).size() + 1, 1048576u);
    EXPECT_TRUE (requestresponse::buildRequest (UPLOAD_PRESET, data.data(), fitting + 1, &md).empty());
    EXPECT_TRUE (requestresponse::buildRequest (GET_META_DATA, data.data(), (int) largest, nullptr).empty());
}

TEST (RequestResponse, ParserAcceptsOnlyHeadersThatTheDecodedBytesBear)
{
    auto parse = [] (const std::vector<char>& bytes) { return requestResponseFromBuffer (bytes.data(), bytes.size()); };

    auto rr = parse (header (19, 0));
    ASSERT_NE (rr, nullptr);
    EXPECT_EQ (rr->type, 19u);
    EXPECT_TRUE (rr->payload.empty());

    EXPECT_EQ (parse (std::vector<char> (1048576, 0)), nullptr);
    EXPECT_EQ (parse (header (20, 0)), nullptr);
    EXPECT_EQ (parse (header (PRESET_DATA, -1)), nullptr);
    EXPECT_EQ (requestResponseFromBuffer (header (PRESET_DATA, 0).data(), 15), nullptr);

    auto full = header (PRESET_DATA, 1048575);
    full.resize (16 + 1048575, 'q');
    rr = parse (full);
    ASSERT_NE (rr, nullptr);
    EXPECT_EQ (rr->size, 1048575);
    EXPECT_EQ (rr->payload.size(), 1048575u);
    EXPECT_EQ (rr->payload.back(), 'q');
    EXPECT_EQ (requestResponseFromBuffer (full.data(), full.size() - 1), nullptr);

    auto tooBig = header (PRESET_DATA, 1048576);
    tooBig.resize (16 + 1048576, 'q');
    EXPECT_EQ (parse (tooBig), nullptr);

    // A reply cut short: the header promises more than was decoded.
    auto cut = header (PRESET_DATA, 5000);
    cut.resize (16 + 100, 'c');
    EXPECT_EQ (parse (cut), nullptr);

    // A built request reads back as itself.
    const std::string data = "program bytes";
    const PresetMetaData md = presetmeta::newRecord();
    rr = parse (requestresponse::buildRequest (UPLOAD_PRESET, data.data(), (int) data.size(), &md));
    ASSERT_NE (rr, nullptr);
    EXPECT_EQ (rr->type, (uint32_t) UPLOAD_PRESET);
    EXPECT_EQ (rr->protocol, 1u);
    EXPECT_EQ (std::string (rr->payload.begin(), rr->payload.end()), data);
}

TEST (RequestResponse, ErrorTextsAreBoundedAndOnlyFromTextReplies)
{
    std::string longText (200, 'e');
    longText[0] = 'E';
    EXPECT_EQ (RequestResponseError (reply (REQUEST_FAILED, longText)).text, longText.substr (0, 127));
    EXPECT_EQ (RequestResponseError (reply (SERVER_ERROR, std::string ("short\0tail", 10))).text, "short");
    EXPECT_EQ (RequestResponseError (reply (TEXT_MESSAGE, "a text")).text, "a text");
    EXPECT_EQ (RequestResponseError (reply (REQUEST_FAILED, "")).text, "");
    EXPECT_EQ (RequestResponseError (reply (PRESET_LIST, "not a text")).text, "");
    EXPECT_EQ (RequestResponseError (nullptr).text, "");

    // A size field larger than the payload held is read no further.
    auto lying = reply (REQUEST_FAILED, "abc");
    lying->size = 100;
    EXPECT_EQ (RequestResponseError (lying).text, "abc");

    EXPECT_EQ (debugRequestResponseToString (nullptr), "rr is null");
    EXPECT_EQ (debugRequestResponseToString (reply (LIST_PRESETS, "").get()), "LIST_PRESETS");
    EXPECT_EQ (debugRequestResponseToString (reply (DOWNLOAD_PRESET, "").get()), "DOWNLOAD_PRESET");
    EXPECT_EQ (debugRequestResponseToString (reply (REQUEST_FAILED, "").get()), "");
}

TEST (RequestResponse, ErrorCaughtByValueCopiedAndRethrownKeepsOneReply)
{
    std::unique_ptr<RequestResponse> parsed = requestResponseFromBuffer (header (REQUEST_OK, 0).data(), 16);
    ASSERT_NE (parsed, nullptr);
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
        EXPECT_EQ (e.reply.get(), original);
    }

    ASSERT_EQ (kept.size(), 2u);
    EXPECT_EQ (kept[0].reply.get(), kept[1].reply.get());
    EXPECT_EQ (kept[0].reply.use_count(), 2);
    EXPECT_EQ (kept[1].reply->type, (uint32_t) REQUEST_OK);
    kept.clear(); // the last owner frees the reply once (checked under the address sanitizer)
}
