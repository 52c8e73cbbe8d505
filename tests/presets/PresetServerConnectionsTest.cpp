// The preset server under idle, slow and odd connections: it keeps answering
// others, holds every request to a deadline, closes idle connections, and
// refuses bodies it cannot read as a form without naming anything internal.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ServerRig.h"
#include "presets/Base64.h"

using namespace serverrig;

TEST (PresetServerConnections, AnswersWhileManyConnectionsSitIdleOrTrickle)
{
    allowManyFiles();
    // All of them from another machine, allowed that many connections, so
    // that every one of them is really held open.
    PresetServerOptions options;
    options.connections.perAddressConnections = 256;
    Rig rig (options);

    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 200; ++i)
    {
        idle.push_back (std::make_unique<RawConnection> (rig.port(), "127.0.0.2"));
        ASSERT_TRUE (idle.back()->isConnected()) << i;
    }

    // Eight clients each send a whole, valid request a byte every half second.
    const Trickler trickling (rig.port(), "127.0.0.2", 8);
    std::this_thread::sleep_for (std::chrono::milliseconds (600));

    for (int i = 0; i < 3; ++i)
    {
        const auto start = Clock::now();
        const Reply meta = rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "");
        EXPECT_LT (secondsSince (start), 2.0) << i;
        EXPECT_EQ (meta.type(), (uint32_t) META_DATA) << i;
    }
}

TEST (PresetServerConnections, DeadlinesEndSlowRequestsAndIdleConnections)
{
    PresetServerOptions options;
    options.connections.requestTimeoutMs = 500;
    options.connections.keepAliveMs = 300;
    Rig rig (options);

    // A request still arriving after its deadline is answered 408 and closed.
    RawConnection slow (rig.port());
    const std::string request = metaDataRequest();
    const auto start = Clock::now();
    bool closed = false;
    std::string answer;
    for (size_t i = 0; i < request.size() && ! closed && secondsSince (start) < 3.0; ++i)
    {
        slow.send (request.substr (i, 1));
        answer += slow.receive ("", 50, &closed);
    }
    EXPECT_TRUE (closed);
    EXPECT_EQ (answer.rfind ("HTTP/1.1 408", 0), 0u) << answer;
    EXPECT_LT (secondsSince (start), 2.0);

    // A connection that never sends, and one that has been answered, are
    // closed once idle.
    RawConnection silent (rig.port());
    RawConnection answered (rig.port());
    ASSERT_TRUE (answered.send (metaDataRequest()));
    EXPECT_EQ (answered.receive ("\r\n\r\n", 2000).rfind ("HTTP/1.1 200", 0), 0u);
    silent.receive ("", 2000, &closed);
    EXPECT_TRUE (closed);
    answered.receive ("", 2000, &closed);
    EXPECT_TRUE (closed);

    // Two requests sent at once on a kept-alive connection both get answered.
    RawConnection both (rig.port());
    ASSERT_TRUE (both.send (metaDataRequest() + metaDataRequest()));
    const std::string replies = both.receive ("", 1500);
    const size_t second = replies.find ("HTTP/1.1 200", 1);
    ASSERT_NE (second, std::string::npos) << replies;
    EXPECT_EQ (replyType (replies.substr (0, second)), (uint32_t) META_DATA);
    EXPECT_EQ (replyType (replies.substr (second)), (uint32_t) META_DATA);
}

TEST (PresetServerConnections, ANewConnectionTakesTheLongestIdlePlaceAtTheLimit)
{
    PresetServerOptions options;
    options.connections.maxConnections = 4;
    Rig rig (options);

    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 12; ++i)
    {
        idle.push_back (std::make_unique<RawConnection> (rig.port()));
        std::this_thread::sleep_for (std::chrono::milliseconds (5)); // each its own place in line
    }
    EXPECT_EQ (rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "").type(),
               (uint32_t) META_DATA);

    bool closed = false;
    idle.front()->receive ("", 1000, &closed);
    EXPECT_TRUE (closed);
    idle.back()->receive ("", 50, &closed);
    EXPECT_FALSE (closed);
}

TEST (PresetServerConnections, BodiesThatAreNoFormGetA4xxNamingNothingInternal)
{
    Rig rig;
    httplib::Client client ("127.0.0.1", rig.port());
    client.set_read_timeout (5, 0);

    auto expectPlainRefusal = [] (const httplib::Result& result, const char* what) {
        ASSERT_TRUE (result) << what;
        EXPECT_TRUE (result->status == 400 || result->status == 415) << what << " " << result->status;
        for (const auto& [name, value] : result->headers)
        {
            EXPECT_EQ (juce::String (name).containsIgnoreCase ("exception"), false) << what << " " << name;
            EXPECT_EQ (juce::String (value).containsIgnoreCase ("function"), false) << what << " " << value;
        }
        EXPECT_FALSE (juce::String (result->body).containsIgnoreCase ("exception")) << what;
    };

    const httplib::MultipartFormDataItems parts { { "requestData", "AAAA", "", "" }, { "email", "a@example.org", "", "" } };
    expectPlainRefusal (client.Post ("/synth_request", parts), "multipart");
    httplib::Headers gzip { { "Content-Encoding", "gzip" } };
    expectPlainRefusal (client.Post ("/synth_request", gzip, metaDataBody(), "application/x-www-form-urlencoded"), "gzip");
    expectPlainRefusal (client.Post ("/synth_request", metaDataBody(), "application/json"), "json");

    // The same form sent in chunks, after an interim "continue", or plainly, is read.
    const std::string body = metaDataBody();
    const auto chunked = client.Post ("/synth_request", [&body] (size_t offset, httplib::DataSink& sink) {
        if (offset < body.size())
            sink.write (body.data() + offset, std::min<size_t> (100, body.size() - offset));
        else
            sink.done();
        return true;
    }, "application/x-www-form-urlencoded");
    ASSERT_TRUE (chunked);
    EXPECT_EQ (replyType ("\r\n\r\n" + chunked->body), (uint32_t) META_DATA);

    RawConnection waiting (rig.port());
    const std::string request = metaDataRequest ("Expect: 100-continue\r\n");
    const size_t headerEnd = request.find ("\r\n\r\n") + 4;
    ASSERT_TRUE (waiting.send (request.substr (0, headerEnd)));
    EXPECT_EQ (waiting.receive ("\r\n\r\n", 2000), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE (waiting.send (request.substr (headerEnd)));
    const std::string answer = waiting.receive ("", 500);
    EXPECT_EQ (answer.find ("100 Continue"), std::string::npos);
    EXPECT_EQ (replyType (answer), (uint32_t) META_DATA) << answer;

    // A POST without a length has no body: answered at once, not at the
    // deadline; a coding other than chunks is refused.
    RawConnection noLength (rig.port());
    ASSERT_TRUE (noLength.send ("POST /synth_request HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ (noLength.receive ("\r\n\r\n", 2000).rfind ("HTTP/1.1 ", 0), 0u);
    RawConnection coded (rig.port());
    ASSERT_TRUE (coded.send ("POST /synth_request HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"));
    EXPECT_EQ (coded.receive ("\r\n\r\n", 2000).rfind ("HTTP/1.1 400", 0), 0u);

    EXPECT_EQ (rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "").type(),
               (uint32_t) META_DATA);
}
