// The preset server as a program: serves until SIGINT or SIGTERM, or adds an
// account and ends.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <string>

#include "PresetServer.h"

namespace
{
void usage (FILE* out)
{
    std::fprintf (out,
        "usage: talvora_preset_server [options]\n"
        "  --listen ADDRESS         address to listen on (127.0.0.1)\n"
        "  --port N                 port, 0 for any free one (8888)\n"
        "  --data DIR               data folder (~/.local/share/TalvoraXL/preset-server)\n"
        "  --advertise-host HOST    host that /server_address names (the listen address)\n"
        "  --latest-version N       newest program version to report (103)\n"
        "  --login-limit N          failed logins of one account from one address, within\n"
        "                           10 minutes, that refuse it from there for a while (10)\n"
        "  --login-cooldown SECONDS how long such an account is refused from there at least (300);\n"
        "                           longer while those failures are still within the 10 minutes\n"
        "  --address-login-limit N  failed logins from one address, any accounts, that\n"
        "                           refuse every login from there by the same rule (100)\n"
        "  --address-login-window S seconds over which those are counted (600)\n"
        "  --threads N              requests handled at once (8)\n"
        "  --request-timeout S      seconds a request may take to arrive, headers and body (10)\n"
        "  --keep-alive S           seconds an idle connection is kept open (5)\n"
        "  --max-connections N      connections open at once (from the open-file limit,\n"
        "                           which is raised to its hard limit: that less 320,\n"
        "                           at most 8192)\n"
        "  --address-connections N  connections open at once from one address (16)\n"
        "  --body-budget MB         request bodies held at once, in MB; past it new ones get 503 (64)\n"
        "  --address-body-share MB  of that, what one client address may hold (an eighth,\n"
        "                           at least one whole body of 2 MB)\n"
        "  --account-presets N      presets one account may hold; past it only existing names\n"
        "                           can be replaced (2000)\n"
        "  --add-account EMAIL      add or replace an account, password on standard input, and end\n");
}

bool parseNumber (const char* text, long low, long high, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtol (text, &end, 10);
    return errno == 0 && end != text && *end == 0 && value >= low && value <= high;
}
} // namespace

int main (int argc, char** argv)
{
    PresetServerOptions options;
    std::string accountEmail;
    bool addAccount = false;

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            usage (stdout);
            return 0;
        }
        if (i + 1 >= argc)
        {
            usage (stderr);
            return 2;
        }
        const char* value = argv[++i];
        long number = 0;
        if (arg == "--listen")
            options.listenAddress = value;
        else if (arg == "--port" && parseNumber (value, 0, 65535, number))
            options.port = (int) number;
        else if (arg == "--data")
            options.dataFolder = value;
        else if (arg == "--advertise-host")
            options.advertiseHost = value;
        else if (arg == "--latest-version" && parseNumber (value, 0, 0x7fffffff, number))
            options.latestVersion = (uint32_t) number;
        else if (arg == "--login-limit" && parseNumber (value, 1, FailedLogins::kMaxLimit, number))
            options.loginFailureLimit = (int) number;
        else if (arg == "--login-cooldown" && parseNumber (value, 0, 7 * 24 * 3600, number))
            options.loginCooldown = std::chrono::seconds (number);
        else if (arg == "--address-login-limit" && parseNumber (value, 1, FailedLogins::kMaxAddressLimit, number))
            options.addressFailureLimit = (int) number;
        else if (arg == "--address-login-window" && parseNumber (value, 1, 7 * 24 * 3600, number))
            options.addressFailureWindow = std::chrono::seconds (number);
        else if (arg == "--threads" && parseNumber (value, 1, 256, number))
            options.connections.workerThreads = (int) number;
        else if (arg == "--request-timeout" && parseNumber (value, 1, 3600, number))
            options.connections.requestTimeoutMs = (int) number * 1000;
        else if (arg == "--keep-alive" && parseNumber (value, 1, 3600, number))
            options.connections.keepAliveMs = (int) number * 1000;
        else if (arg == "--max-connections" && parseNumber (value, 1, 1000000, number))
            options.connections.maxConnections = (int) number;
        else if (arg == "--address-connections" && parseNumber (value, 1, 1000000, number))
            options.connections.perAddressConnections = (int) number;
        else if (arg == "--body-budget" && parseNumber (value, 2, 1024 * 1024, number))
            options.connections.bufferBudget = (size_t) number * 1024 * 1024;
        else if (arg == "--address-body-share" && parseNumber (value, 1, 1024 * 1024, number))
            options.connections.addressBodyShare = (size_t) number * 1024 * 1024;
        else if (arg == "--account-presets" && parseNumber (value, 1, 100000000, number))
            options.accountPresetLimit = (uint32_t) number;
        else if (arg == "--add-account")
        {
            addAccount = true;
            accountEmail = value;
        }
        else
        {
            std::fprintf (stderr, "bad option or value: %s %s\n", arg.c_str(), value);
            usage (stderr);
            return 2;
        }
    }

    if (! options.advertiseHost.empty() && ! PresetServer::isValidHost (options.advertiseHost))
    {
        std::fprintf (stderr, "the advertised host may hold letters, digits, \".\" and \"-\" only\n");
        return 2;
    }

    // Every thread started from here on leaves these signals to sigwait below.
    sigset_t stopSignals;
    sigemptyset (&stopSignals);
    sigaddset (&stopSignals, SIGINT);
    sigaddset (&stopSignals, SIGTERM);
    pthread_sigmask (SIG_BLOCK, &stopSignals, nullptr);
    std::signal (SIGPIPE, SIG_IGN);

    PresetServer server (options);
    std::string error;
    if (! server.open (error))
    {
        std::fprintf (stderr, "%s\n", error.c_str());
        return 1;
    }

    if (addAccount)
    {
        std::string password;
        std::getline (std::cin, password);
        if (! password.empty() && password.back() == '\r')
            password.pop_back();
        if (! server.addAccount (accountEmail, password, error))
        {
            std::fprintf (stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf ("account %s added\n", accountEmail.c_str());
        return 0;
    }

    const int port = server.start (error);
    if (port < 0)
    {
        std::fprintf (stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf ("listening on %s:%d\n", options.listenAddress.c_str(), port);
    std::fflush (stdout);

    int received = 0;
    sigwait (&stopSignals, &received);
    server.stop();
    return 0;
}
