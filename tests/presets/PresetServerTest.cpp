// The preset server over real HTTP on 127.0.0.1: what the plug-in relies on
// (upload, list, download, delete, metadata, logins), paging and filters,
// many clients at once, hostile input, and the data folder across restarts.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <set>
#include <thread>

#include <juce_cryptography/juce_cryptography.h>

#include "ServerRig.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

using namespace serverrig;

namespace
{
const std::string kAnn = "ann@example.org", kAnnPassword = "ann's secret";
const std::string kBob = "bob@example.org", kBobPassword = "hunter2";

std::string timeFor (int i)
{
    char text[32];
    std::snprintf (text, sizeof (text), "2024-01-%02d %02d:%02d:00", 1 + i % 28, i % 24, i % 60);
    return text;
}

std::vector<char> headerBytes (uint32_t type, int32_t size)
{
    std::vector<char> bytes (16, 0);
    for (int i = 0; i < 4; ++i)
    {
        bytes[4 + (size_t) i] = (char) (type >> (8 * i));
        bytes[8 + (size_t) i] = (char) (i == 0 ? 1 : 0);
        bytes[12 + (size_t) i] = (char) ((uint32_t) size >> (8 * i));
    }
    return bytes;
}

uint32_t listTotal (Rig& rig)
{
    const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
    return rows.empty() ? 0 : rows.front().listTotal;
}

// A data folder for the program with a short key made here, so the program
// need not make a slow one.
juce::File programFolder()
{
    const juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                  .getChildFile ("talvora-program-" + juce::Uuid().toDashedString());
    EXPECT_TRUE (folder.createDirectory());
    juce::RSAKey pub, priv;
    juce::RSAKey::createKeyPair (pub, priv, 512);
    EXPECT_TRUE (folder.getChildFile ("public_key.txt").replaceWithText (pub.toString()));
    EXPECT_TRUE (folder.getChildFile ("private_key.txt").replaceWithText (priv.toString()));
    return folder;
}

void addAccountWithProgram (const juce::File& folder, const std::string& email, const std::string& password)
{
    const juce::String command = juce::String (TALVORA_PRESET_SERVER_PROGRAM) + " --data '" + folder.getFullPathName()
                               + "' --add-account " + email;
    FILE* adder = ::popen (command.toRawUTF8(), "w");
    ASSERT_NE (adder, nullptr);
    std::fputs ((password + "\n").c_str(), adder);
    ASSERT_EQ (::pclose (adder), 0);
}

// The program serving that folder on a free port of 127.0.0.1: its port, or 0.
int startProgram (juce::ChildProcess& process, const juce::File& folder, const juce::StringArray& extra = {})
{
    juce::StringArray command { TALVORA_PRESET_SERVER_PROGRAM, "--port", "0", "--data", folder.getFullPathName() };
    command.addArray (extra);
    if (! process.start (command))
        return 0;
    // One byte at a time: the framework's read waits until the buffer is full.
    std::string out;
    char c = 0;
    while (out.find ('\n') == std::string::npos && process.readProcessOutput (&c, 1) == 1)
        out += c;
    const std::string prefix = "listening on 127.0.0.1:";
    EXPECT_EQ (out.rfind (prefix, 0), 0u) << out;
    return out.rfind (prefix, 0) == 0 ? std::stoi (out.substr (prefix.size())) : 0;
}
} // namespace

TEST (PresetServer, UploadListDownloadDeleteAndLogins)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    rig.addAccount (kBob, kBobPassword);

    const auto data = presetBytes (7);
    const PresetMetaData md = record ("Warm Pad", "2024-05-01 10:00:00");
    EXPECT_EQ (rig.upload (kAnn, kAnnPassword, md, data).type(), (uint32_t) REQUEST_OK);

    const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
    ASSERT_EQ (rows.size(), 1u);
    EXPECT_EQ (rows[0].listOffset, 0u);
    EXPECT_EQ (rows[0].listTotal, 1u);
    EXPECT_EQ (rows[0].getAuthor(), kAnn); // the login, not what the record said
    EXPECT_EQ (rows[0].getName(), "Warm Pad");

    const Reply got = rig.download (kBob, kBobPassword, rows[0]);
    ASSERT_EQ (got.type(), (uint32_t) PRESET_DATA);
    EXPECT_EQ (got.message->payload, data);

    // A wrong password, an unknown address and an empty key field all fail alike.
    EXPECT_EQ (rig.list (kAnn, "wrong", 0).text(), "wrong e-mail or password");
    EXPECT_EQ (rig.list ("nobody@example.org", kAnnPassword, 0).text(), "wrong e-mail or password");
    EXPECT_EQ (rig.postFields ({ { "requestData", base64::encode (
                                       requestresponse::buildRequest (DELETE_PRESET, nullptr, 0, &md).data(), 1792) },
                                 { "email", kAnn }, { "password", "" } })
                   .text(),
               "wrong e-mail or password");

    // A private preset is its author's alone.
    PresetMetaData hidden = record ("Secret Lead", "2024-05-02 10:00:00", false);
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, hidden, presetBytes (8)).type(), (uint32_t) REQUEST_OK);
    hidden.setAuthor (kAnn);
    const Reply refused = rig.download (kBob, kBobPassword, hidden);
    EXPECT_EQ (refused.type(), (uint32_t) REQUEST_FAILED);
    EXPECT_EQ (refused.text(), "preset not found");
    EXPECT_EQ (rig.list (kBob, kBobPassword, 0).presets().size(), 1u);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).presets().size(), 2u);
    EXPECT_EQ (rig.download (kAnn, kAnnPassword, hidden).message->payload, presetBytes (8));

    // Bob cannot delete Ann's preset: his delete names only his own.
    EXPECT_EQ (rig.send (DELETE_PRESET, {}, &rows[0], kBob, kBobPassword).type(), (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.list (kBob, kBobPassword, 0).presets().size(), 1u);

    // Uploading the same name again replaces it.
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, md, presetBytes (9)).type(), (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.download (kAnn, kAnnPassword, rows[0]).message->payload, presetBytes (9));
    EXPECT_EQ (listTotal (rig), 2u);

    EXPECT_EQ (rig.send (DELETE_PRESET, {}, &md, kAnn, kAnnPassword).type(), (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.send (DELETE_PRESET, {}, &hidden, kAnn, kAnnPassword).type(), (uint32_t) REQUEST_OK);
    const Reply empty = rig.list (kAnn, kAnnPassword, 0);
    EXPECT_EQ (empty.type(), (uint32_t) PRESET_LIST);
    EXPECT_TRUE (empty.presets().empty());
    EXPECT_EQ (rig.send (DELETE_PRESET, {}, &md, kAnn, kAnnPassword).type(), (uint32_t) REQUEST_OK); // already gone

    // The metadata request needs no login.
    PresetMetaData blank;
    const Reply meta = rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "");
    ASSERT_EQ (meta.type(), (uint32_t) META_DATA);
    ASSERT_EQ (meta.message->payload.size(), presetmeta::kRecordSize);
    presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (meta.message->payload.data()), blank);
    EXPECT_EQ (blank.version, 103u);
}

TEST (PresetServer, PagesFiltersAndOrdersTheList)
{
    PresetServerOptions options;
    options.latestVersion = 104;
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);

    for (int i = 0; i < 95; ++i)
    {
        const std::string name = (i % 3 == 0 ? "Bass " : "Pad ") + std::to_string (i);
        const uint32_t mask = 1u << (i % 5);
        ASSERT_EQ (rig.upload (kAnn, kAnnPassword, record (name, timeFor (i), true, mask), presetBytes ((uint32_t) i)).type(),
                   (uint32_t) REQUEST_OK);
    }

    std::vector<PresetMetaData> all;
    for (uint32_t offset : { 0u, 40u, 80u })
    {
        const auto rows = rig.list (kAnn, kAnnPassword, offset).presets();
        ASSERT_EQ (rows.size(), offset == 80 ? 15u : 40u);
        EXPECT_EQ (rows[0].listOffset, offset);
        EXPECT_EQ (rows[0].listTotal, 95u);
        all.insert (all.end(), rows.begin(), rows.end());
    }
    EXPECT_TRUE (rig.list (kAnn, kAnnPassword, 95).presets().empty());

    // The pages join into every preset once, in the presets table's order.
    std::set<std::string> names;
    for (const auto& md : all)
        names.insert (std::string (md.getName()));
    EXPECT_EQ (names.size(), 95u);
    EXPECT_TRUE (std::is_sorted (all.begin(), all.end(), PresetMetaDataCompare));

    const auto bit2 = rig.list (kAnn, kAnnPassword, 0, 4).presets();
    ASSERT_EQ (bit2.size(), 19u);
    EXPECT_EQ (bit2[0].listTotal, 19u);
    for (const auto& md : bit2)
        EXPECT_EQ (md.categoryMask, 4u);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0, 4 | 8).presets()[0].listTotal, 38u);

    // Search: contained in the name, ASCII case ignored.
    const auto bass = rig.list (kAnn, kAnnPassword, 0, 0, "bASs 1").presets();
    ASSERT_FALSE (bass.empty());
    for (const auto& md : bass)
        EXPECT_EQ (md.getName().substr (0, 6), "Bass 1");
    EXPECT_EQ (bass[0].listTotal, 3u); // Bass 12, 15 and 18

    const Reply meta = rig.send (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "", "");
    ASSERT_EQ (meta.type(), (uint32_t) META_DATA);
    PresetMetaData latest;
    presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (meta.message->payload.data()), latest);
    EXPECT_EQ (latest.version, 104u);
}

TEST (PresetServer, ManyClientsAtOnceLoseNothing)
{
    Rig rig;
    constexpr int kClients = 8, kEach = 25;
    for (int c = 0; c < kClients; ++c)
        rig.addAccount ("user" + std::to_string (c) + "@example.org", "pw" + std::to_string (c));

    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back ([&rig, c] {
            const std::string email = "user" + std::to_string (c) + "@example.org";
            for (int i = 0; i < kEach; ++i)
            {
                const auto md = record ("P" + std::to_string (c) + "-" + std::to_string (i), timeFor (i));
                EXPECT_EQ (rig.upload (email, "pw" + std::to_string (c), md, presetBytes ((uint32_t) (c * 100 + i))).type(),
                           (uint32_t) REQUEST_OK);
            }
        });
    for (auto& t : clients)
        t.join();

    std::vector<PresetMetaData> all;
    for (uint32_t offset = 0; offset < 200; offset += 40)
    {
        const auto rows = rig.list ("user0@example.org", "pw0", offset).presets();
        ASSERT_EQ (rows.size(), 40u);
        EXPECT_EQ (rows[0].listTotal, 200u);
        all.insert (all.end(), rows.begin(), rows.end());
    }
    // Downloads at once as well, each client a share of the list.
    clients.clear();
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back ([&rig, &all, c] {
            for (size_t k = (size_t) c; k < all.size(); k += kClients)
            {
                const std::string name (all[k].getName());
                const int owner = std::stoi (name.substr (1)), i = std::stoi (name.substr (name.find ('-') + 1));
                EXPECT_EQ (all[k].getAuthor(), "user" + std::to_string (owner) + "@example.org");
                const Reply got = rig.download ("user" + std::to_string (c) + "@example.org", "pw" + std::to_string (c), all[k]);
                ASSERT_EQ (got.type(), (uint32_t) PRESET_DATA) << name;
                EXPECT_EQ (got.message->payload, presetBytes ((uint32_t) (owner * 100 + i))) << name;
            }
        });
    for (auto& t : clients)
        t.join();
}

TEST (PresetServer, HostileRequestsGetAnErrorAndStoreNothing)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, record ("Keep", timeFor (1)), presetBytes (1)).type(), (uint32_t) REQUEST_OK);

    const std::string password = logincrypto::encryptPassword (kAnnPassword, rig.get().getPublicKey());
    auto withData = [&] (const std::vector<char>& bytes) {
        return rig.postFields ({ { "requestData", base64::encode (bytes.data(), bytes.size()) },
                                 { "email", kAnn }, { "password", password } });
    };
    auto isRefusal = [] (const Reply& r) {
        return (r.status >= 400 && r.status < 500)
            || (r.status == 200 && (r.type() == REQUEST_FAILED || r.type() == SERVER_ERROR));
    };

    PresetMetaData md = record ("Intruder", timeFor (2));
    std::vector<char> upload = requestresponse::buildRequest (UPLOAD_PRESET, presetBytes (2).data(), 23758, &md);

    std::vector<char> pastTheData = upload;
    pastTheData[13] = 0x7f; // size field far beyond what follows
    std::vector<char> negative = upload;
    std::fill (negative.begin() + 12, negative.begin() + 16, (char) 0xff);
    std::vector<char> type20 = upload;
    type20[4] = 20;
    std::vector<char> small = requestresponse::buildRequest (UPLOAD_PRESET, presetBytes (3).data(), 100, &md);
    std::vector<char> noRecord (upload.begin(), upload.end() - (long) presetmeta::kRecordSize);
    std::vector<char> textMessage = requestresponse::buildRequest (TEXT_MESSAGE, "hello", 5, nullptr);
    std::vector<char> shortHeader (upload.begin(), upload.begin() + 15);

    for (const auto* bytes : { &pastTheData, &negative, &type20, &small, &noRecord, &textMessage, &shortHeader })
        EXPECT_TRUE (isRefusal (withData (*bytes))) << bytes->size();

    EXPECT_TRUE (isRefusal (rig.postFields ({ { "requestData", "!!!! not base64 at all ####" }, { "email", kAnn },
                                              { "password", password } })));
    EXPECT_TRUE (isRefusal (rig.postBody ("")));
    EXPECT_TRUE (isRefusal (rig.postBody ("requestData=%zz")));
    EXPECT_TRUE (isRefusal (rig.postBody ("requestData=" + std::string (3 * 1024 * 1024, 'A'))));
    EXPECT_TRUE (isRefusal (withData (headerBytes (DOWNLOAD_PRESET, 10))));

    EXPECT_EQ (listTotal (rig), 1u);
    EXPECT_EQ (withData (upload).type(), (uint32_t) REQUEST_OK); // the same request, well formed, passes
    EXPECT_EQ (listTotal (rig), 2u);
}

TEST (PresetServer, NamesComeBackExactlyAndSurviveARestart)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    const std::vector<std::string> names {
        "It's \"quoted\"", "x'); DROP TABLE presets; --", "Grüße Ångström", "100% _wild_ %s", "Ünïcödé PAD",
    };
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ (rig.upload (kAnn, kAnnPassword, record (names[i], timeFor ((int) i), (i % 2) == 0),
                               presetBytes ((uint32_t) i)).type(),
                   (uint32_t) REQUEST_OK);

    auto check = [&] {
        const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
        ASSERT_EQ (rows.size(), names.size());
        for (const auto& md : rows)
        {
            const auto it = std::find (names.begin(), names.end(), std::string (md.getName()));
            ASSERT_NE (it, names.end()) << md.getName();
            EXPECT_EQ (rig.download (kAnn, kAnnPassword, md).message->payload,
                       presetBytes ((uint32_t) (it - names.begin())));
        }
        // "%" and "_" are no wildcards, non-ASCII letters match only themselves.
        EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0, 0, "% _wild").presets().size(), 1u);
        EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0, 0, "ÅNGSTRÖM").presets().size(), 0u);
        EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0, 0, "gRüße").presets().size(), 1u);
    };
    check();

    const std::string key = rig.get().getPublicKey();
    rig.restart();
    EXPECT_EQ (rig.get().getPublicKey(), key);
    check();

    // The folder and everything with a secret in it are the owner's only.
    struct stat info {};
    for (const char* name : { "", "/presets.sqlite", "/private_key.txt", "/public_key.txt" })
    {
        ASSERT_EQ (::stat ((rig.folder().getFullPathName().toStdString() + name).c_str(), &info), 0) << name;
        EXPECT_EQ (info.st_mode & 077, 0u) << name;
    }
}

TEST (PresetServer, ProgramAddsAnAccountAndServesOnAFreePort)
{
    const juce::File folder = programFolder();
    addAccountWithProgram (folder, "cy@example.org", "cy's password");

    juce::ChildProcess process;
    const int port = startProgram (process, folder, { "--latest-version", "104" });
    ASSERT_GT (port, 0);

    httplib::Client client ("127.0.0.1", port);
    const auto key = client.Get ("/public_key");
    ASSERT_TRUE (key);
    EXPECT_TRUE (logincrypto::isUsableKey (key->body));
    const auto address = client.Get ("/server_address");
    ASSERT_TRUE (address);
    EXPECT_EQ (address->body, "127.0.0.1\n");

    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    auto listAs = [&] (const std::string& password) {
        const auto result = client.Post ("/synth_request",
                                         httplib::Params { { "requestData", base64::encode (request.data(), request.size()) },
                                                           { "email", "cy@example.org" },
                                                           { "password", logincrypto::encryptPassword (password, key->body) },
                                                           { "search", "" } });
        const auto bytes = result ? base64::decode (result->body) : std::vector<char>();
        return requestResponseFromBuffer (bytes.data(), bytes.size());
    };
    const auto ok = listAs ("cy's password");
    ASSERT_NE (ok, nullptr);
    EXPECT_EQ (ok->type, (uint32_t) PRESET_LIST);
    const auto refused = listAs ("cy's passwort");
    ASSERT_NE (refused, nullptr);
    EXPECT_EQ (refused->type, (uint32_t) REQUEST_FAILED);

    // A second server on the same port ends with a reason naming the port,
    // rather than sharing its connections with the first.
    juce::ChildProcess second;
    ASSERT_TRUE (second.start ({ TALVORA_PRESET_SERVER_PROGRAM, "--port", juce::String (port), "--data",
                                 folder.getFullPathName() }));
    EXPECT_TRUE (second.waitForProcessToFinish (30000));
    EXPECT_EQ (second.getExitCode(), 1u);
    EXPECT_TRUE (second.readAllProcessOutput().contains ("127.0.0.1:" + juce::String (port) + ": the port is in use"));
    EXPECT_NE (listAs ("cy's password"), nullptr);

    process.kill();
    folder.deleteRecursively();
}

TEST (PresetServer, KilledDuringAnUploadBurstItKeepsEveryAcknowledgedUpload)
{
    const juce::File folder = programFolder();
    addAccountWithProgram (folder, kAnn, kAnnPassword);
    juce::ChildProcess process;
    int port = startProgram (process, folder);
    ASSERT_GT (port, 0);
    const std::string key = folder.getChildFile ("public_key.txt").loadFileAsString().trim().toStdString();
    const std::string password = logincrypto::encryptPassword (kAnnPassword, key);

    auto send = [&] (httplib::Client& client, int type, const std::vector<char>& data, const PresetMetaData& md) {
        const auto request = requestresponse::buildRequest (type, data.data(), (int) data.size(), &md);
        const auto result = client.Post ("/synth_request",
                                         httplib::Params { { "requestData", base64::encode (request.data(), request.size()) },
                                                           { "email", kAnn }, { "password", password }, { "search", "" } });
        const auto bytes = result ? base64::decode (result->body) : std::vector<char>();
        return requestResponseFromBuffer (bytes.data(), bytes.size());
    };

    // Eight clients upload until the program is killed; what it acknowledged is noted.
    std::mutex lock;
    std::vector<std::string> acknowledged;
    std::atomic<bool> killed { false };
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back ([&, c] {
            httplib::Client client ("127.0.0.1", port);
            for (int i = 0; i < 400 && ! killed; ++i)
            {
                const std::string name = "K" + std::to_string (c) + "-" + std::to_string (i);
                const auto reply = send (client, UPLOAD_PRESET, presetBytes ((uint32_t) (c * 1000 + i)),
                                         record (name, timeFor (i)));
                if (reply != nullptr && reply->type == REQUEST_OK)
                {
                    std::lock_guard<std::mutex> guard (lock);
                    acknowledged.push_back (name);
                }
            }
        });
    // Killed once the burst is under way (uploads are being acknowledged),
    // however long the first logins' key derivations take.
    const auto start = Clock::now();
    auto underWay = [&] {
        std::lock_guard<std::mutex> guard (lock);
        return acknowledged.size() >= 16;
    };
    while (! underWay() && secondsSince (start) < 60.0)
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    process.kill();
    killed = true;
    for (auto& t : clients)
        t.join();
    ASSERT_FALSE (acknowledged.empty());

    port = startProgram (process, folder);
    ASSERT_GT (port, 0);
    httplib::Client client ("127.0.0.1", port);
    std::set<std::string> stored;
    for (uint32_t offset = 0; offset < 8 * 400; offset += PresetServer::kPageSize)
    {
        PresetMetaData query;
        query.listOffset = offset;
        Reply page;
        page.message = send (client, LIST_PRESETS, {}, query);
        ASSERT_NE (page.message, nullptr);
        const auto rows = page.presets();
        for (const auto& md : rows)
            stored.insert (std::string (md.getName()));
        if (rows.size() < PresetServer::kPageSize)
            break;
    }
    for (const std::string& name : acknowledged)
    {
        ASSERT_EQ (stored.count (name), 1u) << name;
        const int c = std::stoi (name.substr (1)), i = std::stoi (name.substr (name.find ('-') + 1));
        PresetMetaData wanted = record (name, timeFor (i));
        wanted.setAuthor (kAnn);
        const auto got = send (client, DOWNLOAD_PRESET, {}, wanted);
        ASSERT_NE (got, nullptr);
        EXPECT_EQ (got->payload, presetBytes ((uint32_t) (c * 1000 + i))) << name;
    }
    process.kill();
    folder.deleteRecursively();
}
