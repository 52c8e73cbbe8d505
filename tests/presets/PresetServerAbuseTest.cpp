// The preset server against clients out to exhaust it: whatever they send,
// its memory stays bounded, oversized, compressed or unaffordable bodies are
// refused from their headers at once, and partial uploads and trickling
// connections from other machines keep no one else waiting.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ServerRig.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

using namespace serverrig;

namespace
{
// A gzip body of about a megabyte that inflates to a gibibyte: members of a
// mebibyte of zeros each, one after another.
std::string gzipBomb()
{
    juce::MemoryOutputStream packed;
    {
        juce::GZIPCompressorOutputStream gzip (packed, 9, juce::GZIPCompressorOutputStream::windowBitsGZIP);
        const std::vector<char> zeros (1 << 20, 0);
        gzip.write (zeros.data(), zeros.size());
    }
    const std::string member (static_cast<const char*> (packed.getData()), packed.getDataSize());
    std::string body;
    for (int i = 0; i < 1024; ++i)
        body += member;
    return body;
}

Reply metaData (Rig& rig)
{
    return rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "");
}
} // namespace

TEST (PresetServerAbuse, LongEmailsCostNoMemory)
{
    Rig rig;
    rig.addAccount ("ann@example.org", "ann's secret");
    const size_t before = residentBytes();
    const std::string password = logincrypto::encryptPassword ("guess", rig.get().getPublicKey());
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    const std::string requestData = base64::encode (request.data(), request.size());
    const int count = kSanitized ? 20 : 300;
    for (int i = 0; i < count; ++i)
    {
        // Each a failed login under a name of its own, refused as any wrong one.
        std::string email = std::to_string (i) + "@example.org";
        email.resize (1 << 20, 'x');
        const Reply reply = rig.postFields ({ { "requestData", requestData }, { "email", email }, { "password", password } });
        ASSERT_EQ (reply.text(), "wrong e-mail or password") << i;
    }
    if (! kSanitized) // the address sanitizer holds on to freed memory for a while
        EXPECT_LT (residentBytes(), before + 64 * 1024 * 1024);
    EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA);
}

TEST (PresetServerAbuse, CompressedBodiesAreRefusedUnread)
{
    Rig rig;
    const std::string bomb = gzipBomb();
    ASSERT_LT (bomb.size(), 1500000u);
    const size_t before = residentBytes();
    for (const char* path : { "/public_key", "/no_such_page", "/synth_request" })
    {
        // The reply comes from the head alone; the body follows it unread.
        RawConnection client (rig.port());
        const auto start = Clock::now();
        ASSERT_TRUE (client.send (postHead (path, bomb.size(), "Content-Encoding: gzip\r\n")));
        const std::string answer = client.receive ("\r\n\r\n", 3000);
        EXPECT_LT (secondsSince (start), 3.0) << path;
        EXPECT_EQ (answer.rfind ("HTTP/1.1 4", 0), 0u) << path << ": " << answer;
        EXPECT_NE (answer.find (" 415 "), std::string::npos) << path << ": " << answer;
        client.send (bomb);
    }
    if (! kSanitized)
        EXPECT_LT (residentBytes(), before + 100 * 1024 * 1024);
    EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA);
}

TEST (PresetServerAbuse, BodiesPastTheLimitOrTheBudgetAreRefusedAtOnce)
{
    PresetServerOptions options;
    options.connections.bufferBudget = 5 * 1000 * 1000;
    Rig rig (options);

    // Announced too large: refused before a byte of it is sent.
    RawConnection huge (rig.port());
    auto start = Clock::now();
    ASSERT_TRUE (huge.send (postHead ("/synth_request", 64u << 20)));
    EXPECT_EQ (huge.receive ("\r\n\r\n", 1000).rfind ("HTTP/1.1 413", 0), 0u);
    EXPECT_LT (secondsSince (start), 1.0);

    // In chunks past the limit: refused too, or cut off, but never read whole.
    RawConnection chunked (rig.port());
    ASSERT_TRUE (chunked.send ("POST /synth_request HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
    const std::string chunk = "100000\r\n" + std::string (0x100000, 'A') + "\r\n";
    for (int i = 0; i < 3; ++i)
        chunked.send (chunk);
    bool closed = false;
    const std::string cut = chunked.receive ("\r\n\r\n", 3000, &closed);
    EXPECT_TRUE (cut.rfind ("HTTP/1.1 413", 0) == 0 || (cut.empty() && closed)) << cut;

    // Two bodies of 2 MB, most of them sent, hold most of the budget: a third
    // is refused once the budget cannot take its first bytes, while small
    // requests still pass.
    std::vector<std::unique_ptr<RawConnection>> holders;
    for (const char* source : { "127.0.0.2", "127.0.0.3" })
    {
        holders.push_back (std::make_unique<RawConnection> (rig.port(), source));
        ASSERT_TRUE (holders.back()->send (postHead ("/synth_request", 2000000) + std::string (1990000, 'A')));
    }
    start = Clock::now();
    while (rig.get().heldBodyBytes() < 2 * 1990000 && secondsSince (start) < 5.0)
        std::this_thread::yield();
    ASSERT_GE (rig.get().heldBodyBytes(), 2u * 1990000);
    RawConnection third (rig.port(), "127.0.0.4");
    start = Clock::now();
    ASSERT_TRUE (third.send (postHead ("/synth_request", 2000000) + std::string (1100000, 'A')));
    EXPECT_EQ (third.receive ("\r\n\r\n", 1000).rfind ("HTTP/1.1 503", 0), 0u);
    EXPECT_LT (secondsSince (start), 1.0);
    EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA);

    // Given back when those connections end: the next such body is read.
    holders.clear();
    start = Clock::now();
    while (rig.get().heldBodyBytes() > 0 && secondsSince (start) < 5.0)
        std::this_thread::yield();
    EXPECT_EQ (rig.get().heldBodyBytes(), 0u);
    RawConnection fourth (rig.port(), "127.0.0.3");
    ASSERT_TRUE (fourth.send (postHead ("/synth_request", 2000000) + std::string (2000000, 'A')));
    const std::string answer = fourth.receive ("\r\n\r\n", 3000);
    EXPECT_EQ (answer.rfind ("HTTP/1.1 200", 0), 0u) << answer;
}

TEST (PresetServerAbuse, PartialUploadsAndTricklersFromElsewhereKeepNoOneWaiting)
{
    allowManyFiles();
    Rig rig;

    // Another machine starts 40 uploads of 2,000,000 bytes and stops short;
    // a third trickles 8 requests a byte every half second.
    std::vector<std::unique_ptr<RawConnection>> partial;
    const std::string upload = postHead ("/synth_request", 2000000) + std::string (2000000 - 50000, 'A');
    std::vector<std::thread> senders;
    for (int i = 0; i < 40; ++i)
        partial.push_back (std::make_unique<RawConnection> (rig.port(), "127.0.0.2"));
    for (int t = 0; t < 4; ++t)
        senders.emplace_back ([&, t] {
            for (size_t i = (size_t) t; i < partial.size(); i += 4)
                partial[i]->send (upload); // those past the address's limit fail
        });
    for (auto& s : senders)
        s.join();

    const Trickler trickling (rig.port(), "127.0.0.3", 8);
    std::this_thread::sleep_for (std::chrono::milliseconds (600));

    std::vector<double> times;
    for (int i = 0; i < 20; ++i)
    {
        const auto start = Clock::now();
        EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA) << i;
        times.push_back (secondsSince (start));
    }
    std::sort (times.begin(), times.end());
    // Sanitizers slow every request many times over: there only the answers count.
    if (! kSanitized)
    {
        EXPECT_LE (times[times.size() / 2], 0.1);
        EXPECT_LE (times.back(), 1.0);
    }
}

TEST (PresetServerAbuse, TheHeadAloneDecidesWhatIsRefused)
{
    Rig rig;
    PresetServer& server = rig.get();
    auto head = [] (const char* method, const char* path, const char* type = "", const char* encoding = "") {
        RequestHead h;
        h.method = method;
        h.path = path;
        h.contentType = type;
        h.contentEncoding = encoding;
        return h;
    };
    // Any coding but identity, on every path; only a plain form is read.
    for (const char* path : { "/synth_request", "/public_key", "/server_address", "/elsewhere" })
        for (const char* encoding : { "gzip", "br", "deflate, identity", "x-anything" })
        {
            const auto refused = server.screen (head ("POST", path, "", encoding));
            ASSERT_TRUE (refused.has_value()) << path << " " << encoding;
            EXPECT_EQ (refused->status, 415) << path << " " << encoding;
            EXPECT_TRUE (refused->close);
        }
    EXPECT_FALSE (server.screen (head ("POST", "/synth_request", "application/x-www-form-urlencoded; charset=UTF-8", " Identity ")));
    EXPECT_FALSE (server.screen (head ("POST", "/synth_request")));
    EXPECT_EQ (server.screen (head ("POST", "/synth_request", "multipart/form-data; boundary=x"))->status, 415);
    EXPECT_EQ (server.screen (head ("GET", "/synth_request"))->status, 404);
    EXPECT_EQ (server.screen (head ("POST", "/public_key"))->status, 404);
    EXPECT_EQ (server.screen (head ("GET", "/public_key"))->body, server.getPublicKey());
    EXPECT_EQ (server.screen (head ("GET", "/server_address"))->body, "127.0.0.1\n");

    // Only the metadata request skips the workers' queue: a read with a
    // login remembered from a moment ago waits for a worker too.
    HttpRequest meta;
    meta.body = metaDataBody();
    EXPECT_TRUE (server.isQuick (meta));
    HttpRequest list = meta;
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    list.body = "requestData=" + formEncode (base64::encode (request.data(), request.size()));
    EXPECT_FALSE (server.isQuick (list));
    EXPECT_EQ (server.respond (meta).status, 200);
    rig.addAccount ("ann@example.org", "ann's secret");
    list.body += "&email=ann%40example.org&password="
               + formEncode (logincrypto::encryptPassword ("ann's secret", server.getPublicKey()));
    EXPECT_EQ (server.respond (list).status, 200);
    EXPECT_FALSE (server.isQuick (list));
}
