// The preset workers and their connector: the requests as they leave the
// plug-in, a real server end to end, and every way a server can fail them
// (from a scripted server on a raw socket).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "FaultServer.h"
#include "ServerRig.h"
#include "core/PropertyProxy.h"
#include "core/UserPresentException.h"
#include "core/globalStuff.h"
#include "presets/Base64.h"
#include "presets/GetMetaDataThread.h"
#include "presets/ListPresetThread.h"
#include "presets/LoadPresetThread.h"
#include "presets/SaveDeletePresetThread.h"
#include "presets/UpdateServerIpThread.h"

using faultserver::FaultServer;
using faultserver::Step;

namespace
{
// Points the settings at a server on this port and logs in as ann.
struct Settings
{
    explicit Settings (int port, std::string addressPage = {})
    {
        if (addressPage.empty())
            addressPage = "http://127.0.0.1:" + std::to_string (port) + "/server_address";
        proxy.setValue (settingsKeys::presetServerAddressPage, juce::String (addressPage));
        proxy.setValue (settingsKeys::presetServerHost, "127.0.0.1");
        proxy.setValue (settingsKeys::presetServerPort, port);
        login ("ann@example.org", "ann's secret");
        PresetServerConnector::publishServer ("", "");
    }
    void login (const std::string& email, const std::string& password)
    {
        proxy.setValue (settingsKeys::email, juce::String (email));
        proxy.setValue (settingsKeys::password, juce::String (password));
    }
    PropertyProxy proxy;
};

void runToEnd (juce::Thread& worker)
{
    worker.startThread();
    ASSERT_TRUE (worker.waitForThreadToExit (15000)) << worker.getThreadName();
}

void putU32 (std::string& bytes, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + (size_t) i] = (char) (uint8_t) (v >> (8 * i));
}

// A reply record's bytes: header with this type and size field, then payload.
std::string replyBytes (uint32_t type, const std::string& payload, int32_t sizeField)
{
    std::string bytes (16, '\0');
    putU32 (bytes, 4, type);
    putU32 (bytes, 8, 1);
    putU32 (bytes, 12, (uint32_t) sizeField);
    return bytes + payload;
}

std::string replyBody (uint32_t type, const std::string& payload)
{
    const std::string bytes = replyBytes (type, payload, (int32_t) payload.size());
    return base64::encode (bytes.data(), bytes.size());
}

std::string listPayload (int32_t count, size_t records)
{
    std::string payload (4 + records * presetmeta::kRecordSize, '\0');
    putU32 (payload, 0, (uint32_t) count);
    for (size_t i = 0; i < records; ++i)
    {
        PresetMetaData md = serverrig::record ("Row " + std::to_string (i), "2024-01-01 00:00:00");
        presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (&payload[4 + i * presetmeta::kRecordSize]));
    }
    return payload;
}

std::vector<char> decodedRequest (const faultserver::Request& r)
{
    for (const auto& [key, value] : r.fields())
        if (key == "requestData")
            return base64::decode (value);
    return {};
}

std::vector<std::string> fieldNames (const faultserver::Request& r)
{
    std::vector<std::string> names;
    for (const auto& f : r.fields())
        names.push_back (f.first);
    return names;
}
} // namespace

TEST (PresetWorkers, RequestsLeaveWithTheirFieldsInOrderAndExactLengths)
{
    FaultServer server;
    Settings settings (server.port());
    TALVORA_XL_VERSION.store (true);

    const auto preset = serverrig::presetBytes (5);
    server.add (Step::reply (replyBody (PRESET_DATA, std::string (preset.begin(), preset.end()))));
    server.add (Step::reply (replyBody (PRESET_LIST, listPayload (1, 1))));

    PresetMetaData wanted = serverrig::record ("Big Pad", "2024-02-03 04:05:06");
    LoadPresetThread load (nullptr, wanted);
    runToEnd (load);
    EXPECT_TRUE (load.success) << load.status;
    EXPECT_EQ (load.data, preset);

    ListPresetThread list (nullptr, "abc", 40, 4);
    runToEnd (list);
    EXPECT_TRUE (list.success) << list.status;
    ASSERT_EQ (list.presets.size(), 1u);
    EXPECT_EQ (list.presets[0].getName(), "Row 0");

    const auto requests = server.requests();
    ASSERT_EQ (requests.size(), 2u);
    for (const auto& r : requests)
    {
        EXPECT_EQ (r.method, "POST");
        EXPECT_EQ (r.path, "/synth_request");
        // The body is exactly the form, nothing before or after it.
        EXPECT_EQ (r.body.rfind ("requestData=", 0), 0u) << r.body.substr (0, 20);
        EXPECT_EQ (r.body.find_first_of ("\r\n"), std::string::npos);
    }

    const auto download = requests[0].fields();
    EXPECT_EQ (fieldNames (requests[0]), (std::vector<std::string> { "requestData", "email", "password", "version" }));
    EXPECT_EQ (download[0].second.size(), 2426u);
    EXPECT_EQ (download[1].second, "ann@example.org");
    EXPECT_EQ (download[2].second, ""); // no server key yet: no password
    EXPECT_EQ (download[3].second, "1.3");
    const auto downloadBytes = decodedRequest (requests[0]);
    ASSERT_EQ (downloadBytes.size(), 1792u);
    EXPECT_EQ (downloadBytes[4], DOWNLOAD_PRESET);
    EXPECT_EQ (std::string (downloadBytes.data() + 16), "Big Pad");

    EXPECT_EQ (fieldNames (requests[1]),
               (std::vector<std::string> { "requestData", "email", "password", "search", "version" }));
    EXPECT_EQ (requests[1].fields()[3].second, "abc");
    const auto listBytes = decodedRequest (requests[1]);
    ASSERT_EQ (listBytes.size(), 16u + 2 * presetmeta::kRecordSize);
    PresetMetaData query;
    presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (listBytes.data() + 16), query);
    EXPECT_EQ (query.listOffset, 40u);
    EXPECT_EQ (query.categoryMask, 4u);
}

TEST (PresetWorkers, RealServerEndToEnd)
{
    serverrig::Rig rig;
    rig.addAccount ("ann@example.org", "ann's secret");
    rig.addAccount ("bob@example.org", "bob's secret");
    Settings settings (rig.port());

    UpdateServerIpThread address (nullptr);
    runToEnd (address);
    EXPECT_TRUE (address.success);
    EXPECT_EQ (PresetServerConnector::getPublishedHost(), "127.0.0.1");
    EXPECT_EQ (PresetServerConnector::getServerPublicKey(), rig.get().getPublicKey());

    const auto preset = serverrig::presetBytes (11);
    PresetMetaData md = serverrig::record ("Glass Keys", "2024-03-01 12:00:00");
    md.setAuthor ("ann@example.org");
    SaveDeletePresetThread save (nullptr, SaveDeletePresetThread::upload, md, preset);
    runToEnd (save);
    EXPECT_TRUE (save.success) << save.status;

    LoadPresetThread load (nullptr, md);
    runToEnd (load);
    EXPECT_TRUE (load.success) << load.status;
    EXPECT_EQ (load.data, preset);

    ListPresetThread list (nullptr, "", 0, 0);
    runToEnd (list);
    ASSERT_EQ (list.presets.size(), 1u);
    EXPECT_EQ (list.presets[0].listOffset, 0u);
    EXPECT_EQ (list.presets[0].listTotal, 1u);

    SaveDeletePresetThread remove (nullptr, SaveDeletePresetThread::deletion, md);
    runToEnd (remove);
    EXPECT_TRUE (remove.success) << remove.status;
    // Nothing left is an answer too, not a failure.
    ListPresetThread empty (nullptr, "", 0, 0);
    runToEnd (empty);
    EXPECT_TRUE (empty.success) << empty.status;
    EXPECT_TRUE (empty.presets.empty());

    // Bob's private preset is not Ann's to load.
    PresetMetaData secret = serverrig::record ("Bob Only", "2024-03-02 12:00:00", false);
    ASSERT_EQ (rig.upload ("bob@example.org", "bob's secret", secret, preset).type(), (uint32_t) REQUEST_OK);
    secret.setAuthor ("bob@example.org");
    LoadPresetThread refused (nullptr, secret);
    runToEnd (refused);
    EXPECT_FALSE (refused.success);
    EXPECT_EQ (refused.status, "preset not found");

    settings.login ("ann@example.org", "not it");
    ListPresetThread wrong (nullptr, "", 0, 0);
    runToEnd (wrong);
    EXPECT_FALSE (wrong.success);
    EXPECT_EQ (wrong.status, "wrong e-mail or password");

    GetMetaDataThread meta (nullptr);
    runToEnd (meta);
    EXPECT_TRUE (meta.success);
    ASSERT_NE (meta.metaData, nullptr);
    EXPECT_EQ (meta.metaData->version, 103u);
}

TEST (PresetWorkers, AddressPageAnswersAreCheckedBeforeUse)
{
    std::string host = "kept";
    EXPECT_TRUE (UpdateServerIpThread::parseServerAddress ("h.example\r\n", host));
    EXPECT_EQ (host, "h.example");
    EXPECT_TRUE (UpdateServerIpThread::parseServerAddress (" \tpresets-2.example.org \n ", host));
    EXPECT_EQ (host, "presets-2.example.org");
    for (const std::string& bad : std::vector<std::string> { "", " \r\n", "bad host!", "a b", "evil.org/x", "h.example:99", std::string (254, 'a') })
    {
        host = "kept";
        EXPECT_FALSE (UpdateServerIpThread::parseServerAddress (bad, host)) << bad;
        EXPECT_EQ (host, "kept");
    }

    FaultServer server;
    Settings settings (server.port());
    server.add (Step::reply ("127.0.0.1\r\n"));
    server.add (Step::reply ("11,c5"));
    UpdateServerIpThread good (nullptr);
    runToEnd (good);
    EXPECT_TRUE (good.success);
    EXPECT_EQ (PresetServerConnector::getPublishedHost(), "127.0.0.1");
    EXPECT_EQ (PresetServerConnector::getServerPublicKey(), "11,c5");

    // Broken answers leave the host alone; the key (asked of the same host,
    // which does not answer) stays too, but the lookup has failed.
    for (const Step& page : { Step::reply (""), Step::reply ("h.example", 404), Step::reply ("bad host!"),
                              Step::reply (std::string (10240, 'a')) })
    {
        server.add (page);
        server.add (Step::reply ("", 404));
        UpdateServerIpThread lookup (nullptr);
        runToEnd (lookup);
        EXPECT_FALSE (lookup.success); // a kept key is no answer
        EXPECT_EQ (PresetServerConnector::getPublishedHost(), "127.0.0.1");
        EXPECT_EQ (PresetServerConnector::getServerPublicKey(), "11,c5");
    }
    const auto requests = server.requests();
    ASSERT_EQ (requests.size(), 10u);
    EXPECT_EQ (requests[0].path, "/server_address");
    EXPECT_EQ (requests[1].path, "/public_key");
    EXPECT_EQ (requests[9].path, "/public_key");
}

TEST (PresetWorkers, MalformedRepliesAreNoReplies)
{
    FaultServer server;
    Settings settings (server.port());
    PresetMetaData md = serverrig::record ("Any", "2024-01-01 00:00:00");

    auto exchange = [&] (const Step& step, std::unique_ptr<RequestResponse>& reply) {
        server.add (step);
        PresetServerConnector connector (PresetServerEndpoint::fromSettings (settings.proxy));
        const bool got = connector.sendRequest (DOWNLOAD_PRESET, nullptr, 0, &md);
        reply = connector.takeReply();
        return got;
    };
    auto encoded = [] (const std::string& bytes) { return base64::encode (bytes.data(), bytes.size()); };

    const std::string payload (100, 'p');
    const std::vector<Step> bad {
        Step::reply (encoded (replyBytes (20, payload, 100))),                 // type 20
        Step::reply (encoded (replyBytes (PRESET_DATA, payload, -1))),         // negative size
        Step::reply (encoded (replyBytes (PRESET_DATA, payload, 101))),        // size past the body
        Step::reply ("%%%% this is not base64 ####"),
        Step::reply (""),
        Step::reply (std::string (1048576, 'A')),
        Step::reply (replyBody (PRESET_DATA, payload), 500),
        Step::raw ("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + replyBody (PRESET_DATA, payload)), // cut short
    };
    for (size_t i = 0; i < bad.size(); ++i)
    {
        std::unique_ptr<RequestResponse> reply;
        exchange (bad[i], reply);
        EXPECT_EQ (reply, nullptr) << "case " << i;
    }

    // The longest body still taken: a valid reply padded with line breaks.
    std::string longest = replyBody (PRESET_DATA, payload);
    longest.resize (PresetServerConnector::kMaxReplyChars, '\n');
    std::unique_ptr<RequestResponse> reply;
    EXPECT_TRUE (exchange (Step::reply (longest), reply));
    ASSERT_NE (reply, nullptr);
    EXPECT_EQ (std::string (reply->payload.begin(), reply->payload.end()), payload);

    // A list reply announcing more records than it carries gives those it carries.
    const std::string fifty = replyBytes (PRESET_LIST, listPayload (50, 3), (int32_t) listPayload (50, 3).size());
    auto listed = requestResponseFromBuffer (fifty.data(), fifty.size());
    EXPECT_EQ (ListPresetThread::presetsFromReply (listed.get()).size(), 3u);
    const std::string negative = replyBytes (PRESET_LIST, listPayload (-1, 2), (int32_t) listPayload (-1, 2).size());
    EXPECT_TRUE (ListPresetThread::presetsFromReply (requestResponseFromBuffer (negative.data(), negative.size()).get()).empty());
    const std::string refusal = replyBytes (REQUEST_FAILED, std::string (300, 'r'), 300);
    try
    {
        ListPresetThread::presetsFromReply (requestResponseFromBuffer (refusal.data(), refusal.size()).get());
        ADD_FAILURE() << "a refusal must throw";
    }
    catch (const UserPresentException& e)
    {
        EXPECT_EQ (std::string (e.what()), std::string (255, 'r'));
    }

    // What the list and load workers say about such a reply.
    server.add (bad[0]);
    ListPresetThread list (nullptr, "", 0, 0);
    runToEnd (list);
    EXPECT_FALSE (list.success);
    EXPECT_EQ (list.status, "error getting presets from server");
    server.add (bad[5]);
    LoadPresetThread load (nullptr, md);
    runToEnd (load);
    EXPECT_FALSE (load.success);
    EXPECT_EQ (load.status, "empty preset from server");
}

TEST (PresetWorkers, WorkersStartedTogetherConnectASecondApart)
{
    FaultServer server;
    Settings settings (server.port());
    PresetMetaData newest;
    newest.version = 104;
    std::string record (presetmeta::kRecordSize, '\0');
    presetmeta::toBytes (newest, reinterpret_cast<uint8_t*> (record.data()));
    for (int i = 0; i < 3; ++i)
        server.add (Step::reply (replyBody (META_DATA, record)));

    GetMetaDataThread a (nullptr), b (nullptr), c (nullptr);
    a.startThread();
    b.startThread();
    c.startThread();
    for (auto* t : { &a, &b, &c })
    {
        ASSERT_TRUE (t->waitForThreadToExit (15000));
        EXPECT_TRUE (t->success);
        ASSERT_NE (t->metaData, nullptr);
        EXPECT_EQ (t->metaData->version, 104u);
    }
    auto requests = server.requests();
    ASSERT_EQ (requests.size(), 3u);
    // Turns are handed out 1001 ms apart and nobody connects before its turn.
    // (The server's accept times would add the machine's scheduling noise.)
    std::vector<double> slots;
    for (auto* t : { &a, &b, &c })
    {
        EXPECT_GE (t->connectedAtMs, t->connectionSlotMs);
        slots.push_back (t->connectionSlotMs);
    }
    std::sort (slots.begin(), slots.end());
    for (size_t i = 1; i < slots.size(); ++i)
        EXPECT_GE (slots[i] - slots[i - 1], PresetsPageThread::kSpacingMs);
    // No login on the metadata request.
    EXPECT_EQ (requests[0].fields()[1].second, "");

    // No server: still success, with a blank record.
    Settings nowhere (server.port());
    server.add (Step::closes());
    GetMetaDataThread lost (nullptr);
    runToEnd (lost);
    EXPECT_TRUE (lost.success);
    ASSERT_NE (lost.metaData, nullptr);
    EXPECT_EQ (lost.metaData->version, 0u);
}

TEST (PresetWorkers, SavesFailWithoutTheServersOk)
{
    const auto preset = serverrig::presetBytes (3);
    PresetMetaData md = serverrig::record ("Saved", "2024-01-01 00:00:00");
    int closedPort = 0;
    {
        juce::StreamingSocket probe;
        ASSERT_TRUE (probe.createListener (0, "127.0.0.1"));
        closedPort = probe.getBoundPort();
    }
    {
        Settings settings (closedPort);
        SaveDeletePresetThread save (nullptr, SaveDeletePresetThread::upload, md, preset);
        runToEnd (save);
        EXPECT_FALSE (save.success);
        EXPECT_EQ (save.status, "problem connecting to server");
    }

    FaultServer server;
    Settings settings (server.port());
    server.add (Step::closes());
    server.add (Step::reply ("garbage that is no reply"));
    server.add (Step::reply (replyBody (PRESET_LIST, listPayload (0, 0))));
    for (int i = 0; i < 3; ++i)
    {
        SaveDeletePresetThread save (nullptr, i == 1 ? SaveDeletePresetThread::deletion : SaveDeletePresetThread::upload, md,
                                     preset);
        runToEnd (save);
        EXPECT_FALSE (save.success) << i;
        EXPECT_EQ (save.status, i < 2 ? "problem connecting to server" : "") << i;
    }

    // Only a whole program record goes out.
    const size_t before = server.requests().size();
    SaveDeletePresetThread shortOne (nullptr, SaveDeletePresetThread::upload, md, std::vector<char> (100, 'x'));
    runToEnd (shortOne);
    EXPECT_FALSE (shortOne.success);
    EXPECT_EQ (shortOne.status, "wrong preset size");
    EXPECT_EQ (server.requests().size(), before);
}

TEST (PresetWorkers, HangsEndAtTheTimeOutOrOnAStopRequest)
{
    FaultServer server;
    Settings settings (server.port());
    PresetMetaData md = serverrig::record ("Hung", "2024-01-01 00:00:00");

    server.add (Step::hangs());
    SaveDeletePresetThread save (nullptr, SaveDeletePresetThread::upload, md, serverrig::presetBytes (4));
    runToEnd (save); // within runToEnd's bound, though the server never answers
    EXPECT_FALSE (save.success);
    EXPECT_EQ (save.status, "problem connecting to server");

    server.add (Step::hangs());
    LoadPresetThread load (nullptr, md);
    load.startThread();
    ASSERT_TRUE (server.waitForRequests (2, 5000));
    load.signalThreadShouldExit();
    EXPECT_TRUE (load.waitForThreadToExit (1500));
    EXPECT_FALSE (load.success);
}
