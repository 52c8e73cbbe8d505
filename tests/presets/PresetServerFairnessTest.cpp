// The preset server shared between client addresses: what one address holds
// (connections, body bytes, worker turns) leaves the others served; and the
// HTTP front's own edges: its listening socket, request deadlines, odd
// headers and handlers that throw.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "HttpFront.h"
#include "PresetDatabase.h"
#include "ServerRig.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

using namespace serverrig;

namespace
{
const std::string kAnn = "ann@example.org";
const std::string kAnnPassword = "ann's secret";

Reply metaData (Rig& rig)
{
    return rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "");
}

// A whole LIST request with a login, as raw text.
std::string listRequest (Rig& rig, const std::string& email, const std::string& password)
{
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    const std::string body = "requestData=" + formEncode (base64::encode (request.data(), request.size()))
                           + "&email=" + formEncode (email) + "&password="
                           + formEncode (logincrypto::encryptPassword (password, rig.get().getPublicKey()))
                           + "&search=&version=1.3";
    return postHead ("/synth_request", body.size()) + body;
}

std::string source (int n)
{
    return "127.0.0." + std::to_string (n);
}

template <typename Condition>
bool waitFor (Condition condition, double seconds)
{
    const auto start = Clock::now();
    while (! condition())
    {
        if (secondsSince (start) > seconds)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }
    return true;
}

// Clients from many addresses, each a thread with its connections, sending
// one request on each and reading the replies, over and over until destroyed.
class Flood
{
public:
    Flood (int port, int firstAddress, int addresses, int perAddress, std::function<std::string (int)> request)
    {
        for (int a = 0; a < addresses; ++a)
            threads.emplace_back ([=] {
                std::vector<std::unique_ptr<RawConnection>> connections;
                for (int i = 0; i < perAddress; ++i)
                    connections.push_back (std::make_unique<RawConnection> (port, source (firstAddress + a).c_str()));
                for (int round = 0; round < 100000 && ! done; ++round)
                {
                    for (auto& c : connections)
                        c->send (request (a));
                    // Waited for a little at a time, so that the flood ends at once.
                    for (auto& c : connections)
                        for (bool closed = false; ! done && ! closed;)
                            if (! c->receiveReply (50, &closed).empty())
                            {
                                ++replies;
                                break;
                            }
                }
            });
    }
    ~Flood()
    {
        done = true;
        for (auto& t : threads)
            t.join();
    }

    std::atomic<int> replies { 0 };

private:
    std::atomic<bool> done { false };
    std::vector<std::thread> threads;
};

sockaddr_storage socketAddress (const char* text)
{
    sockaddr_storage address {};
    auto* v4 = reinterpret_cast<sockaddr_in*> (&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*> (&address);
    if (::inet_pton (AF_INET, text, &v4->sin_addr) == 1)
        v4->sin_family = AF_INET;
    else if (::inet_pton (AF_INET6, text, &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6;
    return address;
}

std::string keyOf (const char* text)
{
    const sockaddr_storage address = socketAddress (text);
    return HttpFront::addressKey (reinterpret_cast<const sockaddr*> (&address));
}
} // namespace

TEST (PresetServerFairness, AnAddressIsWhatOneClientHolds)
{
    EXPECT_EQ (keyOf ("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ (keyOf ("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ (keyOf ("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ (keyOf ("2001:db8:1:2:ffff:1:2:3"), "2001:db8:1:2::/64");
    EXPECT_EQ (keyOf ("2001:db8:1:3::1"), "2001:db8:1:3::/64");

    // The default connection limit follows the open-file limit, raised to the hard one.
    EXPECT_EQ (HttpFront::connectionsFor (1024), 704);
    EXPECT_EQ (HttpFront::connectionsFor (10), 1);
    EXPECT_EQ (HttpFront::connectionsFor (1 << 20), 8192);
    Rig rig;
    rlimit files {};
    ASSERT_EQ (::getrlimit (RLIMIT_NOFILE, &files), 0);
    EXPECT_EQ (files.rlim_cur, files.rlim_max);
    EXPECT_EQ (rig.get().connectionLimit(),
               HttpFront::connectionsFor (files.rlim_cur == RLIM_INFINITY ? (size_t) 1 << 20 : files.rlim_cur));
}

TEST (PresetServerFairness, ThePortIsOwnedAndClosedOnStop)
{
    Rig rig;
    const int port = rig.port();

    // A second server on the port in use fails, naming it; the first serves on.
    PresetServerOptions options;
    options.port = port;
    options.keyBits = 512;
    options.dataFolder = rig.folder().getFullPathName().toStdString();
    PresetServer second (options);
    std::string error;
    ASSERT_TRUE (second.open (error)) << error;
    EXPECT_EQ (second.start (error), -1);
    EXPECT_NE (error.find ("127.0.0.1:" + std::to_string (port) + ": the port is in use"), std::string::npos) << error;
    EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA);

    rig.get().stop();
    RawConnection refused (port);
    EXPECT_FALSE (refused.isConnected());
}

TEST (PresetServerFairness, DifferingLengthsAreRefusedAndHandlersThatThrowGet500)
{
    Rig rig;
    const std::string body = metaDataBody();
    RawConnection differing (rig.port());
    ASSERT_TRUE (differing.send ("POST /synth_request HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                                 + std::to_string (body.size()) + "\r\nContent-Length: " + std::to_string (body.size() - 1)
                                 + "\r\n\r\n" + body));
    EXPECT_EQ (differing.receive ("\r\n\r\n", 2000).rfind ("HTTP/1.1 400", 0), 0u);
    RawConnection same (rig.port());
    ASSERT_TRUE (same.send (metaDataRequest ("Content-Length: " + std::to_string (body.size()) + "\r\n")));
    EXPECT_EQ (replyType (same.receiveReply (2000)), (uint32_t) META_DATA);

    // Whatever a handler throws, from the head, the quick check or the
    // answer, is a 500; the peer it is handed is the address's key.
    struct Throwing : HttpHandler
    {
        std::optional<HttpReply> screen (const RequestHead& head) override
        {
            if (head.path == "/screen")
                throw std::runtime_error ("screen");
            return std::nullopt;
        }
        HttpReply respond (const HttpRequest& request) override
        {
            if (request.head.path == "/respond")
                throw std::bad_alloc();
            return { 200, request.head.peer };
        }
        bool isQuick (const HttpRequest& request) override
        {
            if (request.head.path == "/quick")
                throw 42;
            return false;
        }
    } handler;
    HttpFront front (ConnectionLimits {}, handler);
    std::string error;
    const int port = front.start ("127.0.0.1", 0, error);
    ASSERT_GT (port, 0) << error;
    for (const char* path : { "/screen", "/quick", "/respond" })
    {
        RawConnection client (port);
        ASSERT_TRUE (client.send ("POST " + std::string (path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc"));
        EXPECT_EQ (client.receive ("\r\n\r\n", 2000).rfind ("HTTP/1.1 500", 0), 0u) << path;
    }
    RawConnection elsewhere (port, "127.0.0.5");
    ASSERT_TRUE (elsewhere.send ("POST /peer HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc"));
    const std::string reply = elsewhere.receiveReply (2000);
    EXPECT_EQ (reply.substr (reply.find ("\r\n\r\n") + 4), "127.0.0.5") << reply;
}

TEST (PresetServerFairness, ARequestsDeadlineRunsFromItsFirstByte)
{
    PresetServerOptions options;
    options.connections.requestTimeoutMs = 1000;
    options.connections.keepAliveMs = 600;
    Rig rig (options);

    // A request with the first byte of the next: that one's deadline runs
    // from then, however the rest trickles in.
    const std::string request = metaDataRequest();
    RawConnection pipelined (rig.port());
    const auto start = Clock::now();
    ASSERT_TRUE (pipelined.send (request + request.substr (0, 1)));
    EXPECT_EQ (replyType (pipelined.receiveReply (2000)), (uint32_t) META_DATA);
    std::this_thread::sleep_for (std::chrono::milliseconds (900)); // the client's own pace
    bool closed = false;
    std::string answer;
    for (size_t i = 1; i < request.size() && ! closed && secondsSince (start) < 5.0; ++i)
    {
        pipelined.send (request.substr (i, 1));
        answer += pipelined.receive ("", 100, &closed);
    }
    EXPECT_TRUE (closed);
    EXPECT_EQ (answer.rfind ("HTTP/1.1 408", 0), 0u) << answer;
    if (! kSanitized)
        EXPECT_LT (secondsSince (start), 1.6);

    // An answered request leaves its connection idle, not waiting on a
    // request: it is closed at the idle time without a 408.
    RawConnection answered (rig.port());
    ASSERT_TRUE (answered.send (request));
    EXPECT_EQ (replyType (answered.receiveReply (2000)), (uint32_t) META_DATA);
    const std::string after = answered.receive ("", 3000, &closed);
    EXPECT_TRUE (closed);
    EXPECT_EQ (after, "");
}

TEST (PresetServerFairness, ANewcomerTakesThePlaceOfTheAddressHoldingMost)
{
    PresetServerOptions options;
    options.connections.maxConnections = 6;
    Rig rig (options);

    // Each answered once, so each is idle in the order made.
    auto connect = [&rig] (int address) {
        auto c = std::make_unique<RawConnection> (rig.port(), source (address).c_str());
        EXPECT_TRUE (c->send (metaDataRequest()));
        EXPECT_EQ (replyType (c->receiveReply (2000)), (uint32_t) META_DATA);
        return c;
    };
    auto isClosed = [] (RawConnection& c, int timeoutMs) {
        bool closed = false;
        c.receive ("", timeoutMs, &closed);
        return closed;
    };
    std::vector<std::unique_ptr<RawConnection>> two, three;
    for (int i = 0; i < 4; ++i)
        two.push_back (connect (2));
    for (int i = 0; i < 2; ++i)
        three.push_back (connect (3));

    // From an address holding 2: the oldest of the address holding 4 goes.
    three.push_back (connect (3));
    EXPECT_TRUE (isClosed (*two[0], 1000));
    // Now both hold 3: a fourth of the same address takes its own oldest place.
    three.push_back (connect (3));
    EXPECT_TRUE (isClosed (*three[0], 1000));
    for (size_t i = 1; i < two.size(); ++i)
        EXPECT_FALSE (isClosed (*two[i], 20)) << i;
    for (size_t i = 1; i < three.size(); ++i)
        EXPECT_FALSE (isClosed (*three[i], 20)) << i;
}

TEST (PresetServerFairness, AnnouncedBodiesHoldNothingAndOneAddressHoldsItsShareAtMost)
{
    allowManyFiles();
    PresetServerOptions options;
    options.connections.perAddressConnections = 64;
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);

    // 32 connections from two addresses announce 2 MB each and send nothing:
    // 50 requests from another, a login among them, are all answered.
    {
        std::vector<std::unique_ptr<RawConnection>> announcing;
        for (int i = 0; i < 32; ++i)
        {
            announcing.push_back (std::make_unique<RawConnection> (rig.port(), source (2 + i % 2).c_str()));
            ASSERT_TRUE (announcing.back()->send (postHead ("/synth_request", 2000000)));
        }
        for (int i = 0; i < 50; ++i)
        {
            const Reply reply = i == 25 ? rig.list (kAnn, kAnnPassword, 0) : metaData (rig);
            EXPECT_EQ (reply.status, 200) << i;
            EXPECT_EQ (reply.type(), i == 25 ? (uint32_t) PRESET_LIST : (uint32_t) META_DATA) << i;
        }
    }

    // 40 connections from one address send 1.95 MB of 2: past its share of
    // the budget (an eighth, 8 MB) its bodies are refused.
    const size_t share = 8u << 20;
    const std::string partial = postHead ("/synth_request", 2000000) + std::string (1950000, 'A');
    std::vector<std::unique_ptr<RawConnection>> holders;
    for (int i = 0; i < 40; ++i)
        holders.push_back (std::make_unique<RawConnection> (rig.port(), "127.0.0.4"));
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back ([&, t] {
            for (size_t i = (size_t) t; i < holders.size(); i += 4)
                holders[i]->send (partial);
        });
    for (auto& s : senders)
        s.join();
    EXPECT_TRUE (waitFor ([&] { return rig.get().heldBodyBytes() >= 3 * 1950000; }, 10.0));
    EXPECT_LE (rig.get().heldBodyBytes(), share);

    // Another address goes on: a whole body of the same size, and an upload.
    RawConnection other (rig.port(), "127.0.0.5");
    ASSERT_TRUE (other.send (postHead ("/synth_request", 1950000) + std::string (1950000, 'A')));
    const std::string answer = other.receiveReply (10000);
    EXPECT_EQ (answer.rfind ("HTTP/1.1 200", 0), 0u) << answer.substr (0, 200);
    EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record ("Held", "2024-05-01 10:00:00"), presetBytes (1)).type(),
               (uint32_t) REQUEST_OK);
    EXPECT_LE (rig.get().heldBodyBytes(), share + 2 * PresetServer::kMaxBodySize);
}

TEST (PresetServerFairness, FormsOfCountlessFieldsCostLittleAndMemoryComesBack)
{
    // Only the protocol's fields are kept, the first of each, cut to a bound.
    const auto fields = PresetServer::parseForm ("requestData=QUFB&x=1&email=a%40b&email=c&&search=+s&" + std::string (300, 'k')
                                                 + "=v&password=" + std::string (10000, 'p'));
    ASSERT_EQ (fields.size(), 4u);
    EXPECT_EQ (fields.at ("requestData"), "QUFB");
    EXPECT_EQ (fields.at ("email"), "a@b");
    EXPECT_EQ (fields.at ("search"), " s");
    EXPECT_EQ (fields.at ("password").size(), 4096u);
    EXPECT_TRUE (PresetServer::parseForm ("requestData=QUFB&x=%4").empty());
    EXPECT_EQ (PresetServer::parseForm ("email=" + std::string (5000, 'e')).at ("email").size(),
               FailedLogins::kMaxAccountBytes + 1);

    // 8 clients from one address send 2 bodies each of 309,000 empty fields.
    Rig rig;
    std::string body = metaDataBody();
    for (int i = 0; i < 309000; ++i)
        body += "&" + std::to_string (i % 10000) + "=";
    ASSERT_LE (body.size(), PresetServer::kMaxBodySize);
    const std::string request = postHead ("/synth_request", body.size()) + body;
    EXPECT_EQ (metaData (rig).type(), (uint32_t) META_DATA);
    const size_t before = residentBytes();
    std::atomic<size_t> peak { before };
    std::atomic<bool> done { false };
    std::atomic<int> answered { 0 };
    std::thread sampler ([&] {
        while (! done)
        {
            peak = std::max<size_t> (peak, residentBytes());
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back ([&] {
            for (int i = 0; i < 2; ++i)
            {
                RawConnection client (rig.port(), "127.0.0.2");
                client.send (request);
                const std::string reply = client.receiveReply (20000);
                if (reply.rfind ("HTTP/1.1 200", 0) == 0 && replyType (reply) == META_DATA)
                    ++answered;
                else
                    EXPECT_EQ (reply.rfind ("HTTP/1.1 503", 0), 0u) << reply.substr (0, 100);
            }
        });
    for (auto& t : clients)
        t.join();
    done = true;
    sampler.join();
    EXPECT_GT (answered.load(), 0);
    EXPECT_EQ (rig.get().heldBodyBytes(), 0u);
    // The address sanitizer holds on to freed memory for a while.
    if (! kSanitized)
    {
        EXPECT_LE (peak.load(), before + (64u << 20));
        EXPECT_TRUE (waitFor ([&] { return residentBytes() <= before + (16u << 20); }, 5.0))
            << (residentBytes() - before) / 1024 << " kB more";
    }
}

TEST (PresetServerFairness, ListsWaitForWorkersWhileTheMetadataRequestIsAnswered)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    {
        // One preset stored as the server stores it, copied under other
        // names in one transaction: uploads would take many times longer.
        // The copies go into the file as an older server left it (no
        // indexes), so the restart below builds the indexes from them.
        PresetDatabase database;
        std::string error;
        const std::string path = rig.folder().getChildFile ("presets.sqlite").getFullPathName().toStdString();
        ASSERT_TRUE (database.open (path, error)) << error;
        PresetMetaData md = record ("Seed", "2024-05-01 10:00:00");
        md.setAuthor (kAnn);
        ASSERT_EQ (database.putPreset (md, presetBytes (1, 64)), PresetDatabase::Put::stored);
        sqlite3* db = nullptr;
        ASSERT_EQ (sqlite3_open (path.c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout (db, 5000);
        ASSERT_EQ (sqlite3_exec (db, "BEGIN; DROP TRIGGER presets_added; DROP TRIGGER presets_removed;"
                                   " DROP TRIGGER presets_changed; PRAGMA user_version = 0;"
                                   " CREATE TEMP TABLE seed AS SELECT * FROM presets", nullptr, nullptr, nullptr),
                   SQLITE_OK);
        sqlite3_stmt* rename = nullptr;
        sqlite3_stmt* copy = nullptr;
        ASSERT_EQ (sqlite3_prepare_v2 (db, "UPDATE seed SET name = ?1", -1, &rename, nullptr), SQLITE_OK);
        ASSERT_EQ (sqlite3_prepare_v2 (db, "INSERT INTO presets SELECT * FROM seed", -1, &copy, nullptr), SQLITE_OK);
        for (int i = 1; i < (kSanitized ? 2000 : 20000); ++i)
        {
            const std::string name = "Seed " + std::to_string (i);
            sqlite3_bind_blob (rename, 1, name.data(), (int) name.size(), SQLITE_TRANSIENT);
            ASSERT_EQ (sqlite3_step (rename), SQLITE_DONE);
            ASSERT_EQ (sqlite3_step (copy), SQLITE_DONE);
            sqlite3_reset (rename);
            sqlite3_reset (copy);
        }
        sqlite3_finalize (rename);
        sqlite3_finalize (copy);
        EXPECT_EQ (sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close (db);
    }
    rig.restart();
    ASSERT_EQ (rig.list (kAnn, kAnnPassword, 0).presets().size(), PresetServer::kPageSize); // remembered from here on

    // 32 keep-alive connections from two addresses repeat that LIST.
    const std::string list = listRequest (rig, kAnn, kAnnPassword);
    const Flood flood (rig.port(), 2, 2, 16, [&list] (int) { return list; });
    ASSERT_TRUE (waitFor ([&] { return flood.replies >= 8; }, 60.0)); // the rest queued

    RawConnection asker (rig.port(), "127.0.0.4");
    std::vector<double> times;
    for (int i = 0; i < 50; ++i)
    {
        const auto start = Clock::now();
        ASSERT_TRUE (asker.send (metaDataRequest()));
        EXPECT_EQ (replyType (asker.receiveReply (5000)), (uint32_t) META_DATA) << i;
        times.push_back (secondsSince (start));
    }
    std::sort (times.begin(), times.end());
    if (! kSanitized)
    {
        EXPECT_LE (times[times.size() / 2], 0.005);
        EXPECT_LE (times.back(), 0.25);
    }
}

TEST (PresetServerFairness, TricklersFromManyAddressesLeaveNewcomersRoom)
{
    const int addresses = kSanitized ? 40 : 250, perAddress = 16;
    if (! allowManyFiles ((size_t) (addresses * perAddress) + 1500))
        GTEST_SKIP() << "too few open files allowed";
    PresetServerOptions options;
    options.connections.maxConnections = kSanitized ? 200 : 1000;
    options.connections.backlog = 4096;
    Rig rig (options);

    // Each connection sends a byte of a request every half second.
    std::vector<std::unique_ptr<RawConnection>> tricklers;
    for (int a = 0; a < addresses; ++a)
        for (int i = 0; i < perAddress; ++i)
        {
            tricklers.push_back (std::make_unique<RawConnection> (rig.port(), source (2 + a).c_str()));
            tricklers.back()->send ("P");
        }
    std::atomic<bool> done { false };
    std::thread trickle ([&] {
        const std::string request = metaDataRequest();
        for (size_t sent = 1; ! done && sent < request.size(); ++sent)
        {
            for (int wait = 0; wait < 50 && ! done; ++wait)
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
            for (auto& c : tricklers)
                c->send (request.substr (sent, 1));
        }
    });

    const int requests = kSanitized ? 20 : 100;
    int answered = 0;
    for (int i = 0; i < requests; ++i)
        answered += metaData (rig).type() == (uint32_t) META_DATA ? 1 : 0;
    done = true;
    trickle.join();
    EXPECT_EQ (answered, requests);
}

TEST (PresetServerFairness, ALoginWaitsForNoMoreThanOneJobOfEachOtherAddress)
{
    allowManyFiles();
    Rig rig ({}, Hashing::asDeployed);
    rig.addAccount (kAnn, kAnnPassword);
    // The machine's own pace of a quiet login, so the bound holds on a busy
    // CI machine too: nowhere near the dozens of derivations a queue in
    // arrival order would put ahead of it.
    // (Another account: the measured login must not be remembered yet.)
    rig.addAccount ("quiet@example.org", kAnnPassword);
    const auto quietStart = Clock::now();
    ASSERT_EQ (rig.list ("quiet@example.org", kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);
    const double quiet = secondsSince (quietStart);

    // 40 addresses × 16 connections of failed logins, each a key derivation.
    const int addresses = kSanitized ? 8 : 40, perAddress = kSanitized ? 4 : 16;
    std::atomic<int> guess { 0 };
    const Flood flood (rig.port(), 2, addresses, perAddress, [&] (int) {
        return listRequest (rig, "guess" + std::to_string (guess++) + "@example.org", "a wrong password");
    });
    ASSERT_TRUE (waitFor ([&] { return flood.replies >= addresses; }, 60.0));

    // Ahead of it, one job of each other address; on fewer than 8 cores
    // those take longer.
    const double cores = std::max (1u, std::thread::hardware_concurrency());
    const auto start = Clock::now();
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);
    if (! kSanitized)
        EXPECT_LT (secondsSince (start), std::max (2.0 * std::max (1.0, 8.0 / cores), 20.0 * quiet));
}
