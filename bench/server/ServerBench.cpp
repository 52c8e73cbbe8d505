// Preset server latency and throughput over real HTTP on 127.0.0.1: the
// server runs in this process on a free port, in a temporary data folder.
//
//   talvora_server_bench [--key-bits N] [--seconds S] [--clients N]
//                        [--presets N] [--accounts N]
//
// Prints the median and 90th percentile of 200 sequential logged-in LISTs
// and of 200 GET_META_DATA requests, each series on one kept-alive
// connection as a browsing plug-in makes them, then the requests per second
// that concurrent clients get for a few seconds. With --presets the store
// holds that many presets from that many accounts, written into the file
// before the server opens it, as an older server would have left it.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <juce_core/juce_core.h>
#include <sqlite3.h>

#include "PresetServer.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"
#include "presets/RequestResponse.h"

namespace
{
using Clock = std::chrono::steady_clock;

const std::string kEmail = "bench@example.org", kPassword = "a bench password";

httplib::Params requestFields (int type, const std::vector<char>& payload, const PresetMetaData* md,
                               const std::string& passwordField, const std::string& search = "")
{
    const auto request = requestresponse::buildRequest (type, payload.data(), (int) payload.size(), md);
    httplib::Params fields { { "requestData", base64::encode (request.data(), request.size()) },
                             { "email", passwordField.empty() ? "" : kEmail },
                             { "password", passwordField },
                             { "version", "1.3" } };
    if (type == LIST_PRESETS)
        fields.emplace ("search", search);
    return fields;
}

// The reply's message type, 0 when there is none.
uint32_t replyType (const httplib::Result& result)
{
    if (! result || result->status != 200)
        return 0;
    const auto bytes = base64::decode (result->body);
    const auto reply = requestResponseFromBuffer (bytes.data(), bytes.size());
    return reply != nullptr ? reply->type : 0;
}

// A store as an older server left it: the presets table alone, no index
// beyond its key. Names are two words and a number, so a word search
// matches a few percent of them and a two-word one a fraction of that.
bool writeStore (const juce::File& folder, int presets, int accounts)
{
    static const char* const first[] = { "Warm", "Cold", "Dark", "Bright", "Soft", "Hard", "Deep", "Wide", "Thin",
                                         "Fat", "Dusty", "Glassy", "Metal", "Wooden", "Hollow", "Noisy", "Clean",
                                         "Dirty", "Slow", "Fast", "Old", "New", "Lush", "Dry", "Wet" };
    static const char* const second[] = { "Pad", "Lead", "Bass", "Pluck", "Keys", "Organ", "Brass", "Strings",
                                          "Choir", "Bell", "Drone", "Sweep", "Arp", "Chord", "Stab", "Kick",
                                          "Snare", "Hat", "Noise", "Texture", "Wobble", "Flute", "Piano", "Voice",
                                          "Sub", "Saw", "Square", "Sine", "Pulse", "Growl" };
    folder.createDirectory();
    sqlite3* db = nullptr;
    const std::string path = folder.getChildFile ("presets.sqlite").getFullPathName().toStdString();
    if (sqlite3_open (path.c_str(), &db) != SQLITE_OK)
        return false;
    bool ok = sqlite3_exec (db, "PRAGMA journal_mode = WAL;"
                                "CREATE TABLE presets (author BLOB NOT NULL, name BLOB NOT NULL,"
                                " folded_name BLOB NOT NULL, is_public INTEGER NOT NULL,"
                                " category_mask INTEGER NOT NULL, last_modified BLOB NOT NULL,"
                                " record BLOB NOT NULL, data BLOB NOT NULL, PRIMARY KEY (author, name));"
                                "BEGIN",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt* st = nullptr;
    ok = ok && sqlite3_prepare_v2 (db, "INSERT INTO presets VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)", -1, &st, nullptr) == SQLITE_OK;
    const std::vector<char> data (PresetServer::kPresetSize, 'd');
    std::string bytes (presetmeta::kRecordSize, '\0');
    const auto blob = [&] (int index, const std::string& text) {
        sqlite3_bind_blob (st, index, text.data(), (int) text.size(), SQLITE_TRANSIENT);
    };
    uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
    for (int i = 0; ok && i < presets; ++i)
    {
        const int account = i % accounts;
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (account == 0 ? kEmail : "user" + std::to_string (account) + "@example.org");
        md.setName (std::string (first[next() % std::size (first)]) + " " + second[next() % std::size (second)] + " "
                    + std::to_string (i / accounts));
        char time[32];
        std::snprintf (time, sizeof (time), "20%02u-%02u-%02u %02u:%02u:%02u", 10 + next() % 15, 1 + next() % 12,
                       1 + next() % 28, next() % 24, next() % 60, next() % 60);
        md.setLastModified (time);
        md.isPublic = next() % 10 != 0 ? 1 : 0;
        md.categoryMask = 1u << (next() % 12);
        presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (bytes.data()));
        std::string folded (md.getName());
        for (char& c : folded)
            c = (char) std::tolower ((unsigned char) c);
        blob (1, std::string (md.getAuthor()));
        blob (2, std::string (md.getName()));
        blob (3, folded);
        sqlite3_bind_int (st, 4, md.isPublic);
        sqlite3_bind_int64 (st, 5, md.categoryMask);
        blob (6, time);
        blob (7, bytes);
        sqlite3_bind_blob (st, 8, data.data(), (int) data.size(), SQLITE_STATIC);
        ok = sqlite3_step (st) == SQLITE_DONE && sqlite3_reset (st) == SQLITE_OK;
    }
    sqlite3_finalize (st);
    ok = ok && sqlite3_exec (db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close (db);
    return ok;
}

void printSeries (const char* name, std::vector<double> ms, const std::string& note = {})
{
    std::sort (ms.begin(), ms.end());
    std::printf ("%-28s median %8.3f ms   p90 %8.3f ms   (%zu requests%s)\n", name, ms[ms.size() / 2],
                 ms[ms.size() * 9 / 10], ms.size(), note.c_str());
}

// ", R rows of T" for a list reply: what a series lists.
std::string listShape (int port, const httplib::Params& fields)
{
    httplib::Client client ("127.0.0.1", port);
    const auto result = client.Post ("/synth_request", fields);
    if (! result)
        return {};
    const auto bytes = base64::decode (result->body);
    const auto reply = requestResponseFromBuffer (bytes.data(), bytes.size());
    if (reply == nullptr || reply->type != PRESET_LIST || reply->payload.size() < 4)
        return {};
    uint32_t rows = 0;
    std::memcpy (&rows, reply->payload.data(), 4);
    PresetMetaData first;
    if (rows > 0 && reply->payload.size() >= 4 + presetmeta::kRecordSize)
        presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (reply->payload.data() + 4), first);
    return ", " + std::to_string (rows) + " rows of " + std::to_string (rows > 0 ? first.listTotal : 0);
}

std::vector<double> sequential (int port, const httplib::Params& fields, uint32_t expected, int count)
{
    httplib::Client client ("127.0.0.1", port);
    client.set_keep_alive (true);
    client.set_tcp_nodelay (true); // as curl, and so the plug-in, does
    std::vector<double> ms;
    for (int i = 0; i < count; ++i)
    {
        const auto start = Clock::now();
        const auto result = client.Post ("/synth_request", fields);
        ms.push_back (std::chrono::duration<double, std::milli> (Clock::now() - start).count());
        if (replyType (result) != expected)
        {
            std::fprintf (stderr, "unexpected reply\n");
            std::exit (1);
        }
    }
    return ms;
}

void listSeries (const char* name, int port, const httplib::Params& fields)
{
    const std::string shape = listShape (port, fields);
    printSeries (name, sequential (port, fields, PRESET_LIST, 200), shape);
}

void concurrent (const char* name, int port, const httplib::Params& fields, uint32_t expected, int clients, double seconds)
{
    std::atomic<long> done { 0 }, wrong { 0 };
    const auto end = Clock::now() + std::chrono::duration<double> (seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back ([&] {
            httplib::Client client ("127.0.0.1", port);
            client.set_keep_alive (true);
            client.set_tcp_nodelay (true);
            while (Clock::now() < end)
            {
                if (replyType (client.Post ("/synth_request", fields)) == expected)
                    ++done;
                else
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    std::printf ("%-28s %8.0f requests/s with %d clients for %.0f s%s\n", name, (double) done / seconds, clients,
                 seconds, wrong > 0 ? "  (some failed)" : "");
}
} // namespace

int main (int argc, char** argv)
{
    int keyBits = 1024, clients = 8, presets = 0, accounts = 1000;
    double seconds = 5.0;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string arg = argv[i];
        if (arg == "--key-bits")
            keyBits = std::atoi (argv[i + 1]);
        else if (arg == "--seconds")
            seconds = std::atof (argv[i + 1]);
        else if (arg == "--clients")
            clients = std::atoi (argv[i + 1]);
        else if (arg == "--presets")
            presets = std::atoi (argv[i + 1]);
        else if (arg == "--accounts")
            accounts = std::max (1, std::atoi (argv[i + 1]));
    }

    const juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                  .getNonexistentChildFile ("talvora-server-bench-", "", false);
    PresetServerOptions options;
    options.port = 0;
    options.keyBits = keyBits;
    options.dataFolder = folder.getFullPathName().toStdString();
    if (presets > 0 && ! writeStore (folder, presets, accounts))
    {
        std::fprintf (stderr, "cannot write the store\n");
        return 1;
    }
    PresetServer server (options);
    std::string error;
    const auto openStart = Clock::now();
    const bool opened = server.open (error);
    const double openSeconds = std::chrono::duration<double> (Clock::now() - openStart).count();
    if (! opened || ! server.addAccount (kEmail, kPassword, error) || server.start (error) <= 0)
    {
        std::fprintf (stderr, "%s\n", error.c_str());
        return 1;
    }
    const int port = server.getPort();
    const std::string password = logincrypto::encryptPassword (kPassword, server.getPublicKey());

    // A full first page to list.
    if (presets == 0)
    {
        httplib::Client client ("127.0.0.1", port);
        client.set_read_timeout (30, 0); // each upload waits for its sync to disk
        for (int i = 0; i < 60; ++i)
        {
            PresetMetaData md = presetmeta::newRecord();
            md.setName ("Preset " + std::to_string (i));
            md.setLastModified ("2024-01-01 10:00:00");
            md.isPublic = 1;
            md.categoryMask = 1;
            const std::vector<char> data (PresetServer::kPresetSize, (char) i);
            const auto result = client.Post ("/synth_request", requestFields (UPLOAD_PRESET, data, &md, password));
            if (replyType (result) != REQUEST_OK)
            {
                std::fprintf (stderr, "upload failed: %s\n", result ? result->body.c_str() : httplib::to_string (result.error()).c_str());
                return 1;
            }
        }
    }

    PresetMetaData query;
    const auto list = requestFields (LIST_PRESETS, {}, &query, password);
    // What the login itself costs, without a page of records to send.
    const auto listNothing = requestFields (LIST_PRESETS, {}, &query, password, "matches no preset");
    const auto meta = requestFields (GET_META_DATA, std::vector<char> (presetmeta::kRecordSize, 0), nullptr, "");

    std::printf ("preset server, %d-bit key, 40 presets a page", keyBits);
    if (presets > 0)
        std::printf (", %d presets from %d accounts (opened in %.2f s)", presets, std::min (presets, accounts), openSeconds);
    std::printf ("\n");
    listSeries ("logged-in LIST", port, list);
    listSeries ("logged-in LIST, no match", port, listNothing);
    if (presets > 0)
    {
        listSeries ("LIST \"bass\"", port, requestFields (LIST_PRESETS, {}, &query, password, "bass"));
        listSeries ("LIST \"warm pad\"", port, requestFields (LIST_PRESETS, {}, &query, password, "warm pad"));
        listSeries ("LIST \"ar\"", port, requestFields (LIST_PRESETS, {}, &query, password, "ar"));
        PresetMetaData category;
        category.categoryMask = 1u << 3;
        listSeries ("LIST category", port, requestFields (LIST_PRESETS, {}, &category, password));
    }
    printSeries ("GET_META_DATA", sequential (port, meta, META_DATA, 200));
    concurrent ("GET_META_DATA", port, meta, META_DATA, clients, seconds);
    concurrent ("logged-in LIST", port, list, PRESET_LIST, clients, seconds);

    server.stop();
    folder.deleteRecursively();
    return 0;
}
