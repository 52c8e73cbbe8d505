// Preset server latency and throughput over real HTTP on 127.0.0.1: the
// server runs in this process on a free port, in a temporary data folder.
//
//   talvora_server_bench [--key-bits N] [--seconds S] [--clients N]
//
// Prints the median and 90th percentile of 200 sequential logged-in LISTs
// and of 200 GET_META_DATA requests, each series on one kept-alive
// connection as a browsing plug-in makes them, then the requests per second
// that concurrent clients get for a few seconds.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <juce_core/juce_core.h>

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

void printSeries (const char* name, std::vector<double> ms)
{
    std::sort (ms.begin(), ms.end());
    std::printf ("%-28s median %8.3f ms   p90 %8.3f ms   (%zu requests)\n", name, ms[ms.size() / 2],
                 ms[ms.size() * 9 / 10], ms.size());
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
    int keyBits = 1024, clients = 8;
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
    }

    const juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                  .getNonexistentChildFile ("talvora-server-bench-", "", false);
    PresetServerOptions options;
    options.port = 0;
    options.keyBits = keyBits;
    options.dataFolder = folder.getFullPathName().toStdString();
    PresetServer server (options);
    std::string error;
    if (! server.open (error) || ! server.addAccount (kEmail, kPassword, error) || server.start (error) <= 0)
    {
        std::fprintf (stderr, "%s\n", error.c_str());
        return 1;
    }
    const int port = server.getPort();
    const std::string password = logincrypto::encryptPassword (kPassword, server.getPublicKey());

    // A full first page to list.
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

    std::printf ("preset server, %d-bit key, 40 presets a page\n", keyBits);
    printSeries ("logged-in LIST", sequential (port, list, PRESET_LIST, 200));
    printSeries ("logged-in LIST, no match", sequential (port, listNothing, PRESET_LIST, 200));
    printSeries ("GET_META_DATA", sequential (port, meta, META_DATA, 200));
    concurrent ("GET_META_DATA", port, meta, META_DATA, clients, seconds);
    concurrent ("logged-in LIST", port, list, PRESET_LIST, clients, seconds);

    server.stop();
    folder.deleteRecursively();
    return 0;
}
