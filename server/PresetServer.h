#pragma once

// The online preset library: answers the plug-in's requests over HTTP.
//
//   GET  /server_address  the host clients should use, and a line break
//   GET  /public_key      the RSA public key text the clients encrypt with
//   POST /synth_request   a base64 request record in the form field
//                         "requestData", the login in "email" and "password",
//                         "search" for lists; always answered with a base64
//                         reply record
//
// Everything but the metadata request needs a login. Accounts, presets and
// the key pair live in one data folder, readable by its owner only.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "ConnectionLimits.h"
#include "HttpExchange.h"
#include "LoginGuard.h"
#include "PresetDatabase.h"
#include "ServerCrypto.h"

class HttpFront;

struct PresetServerOptions
{
    std::string listenAddress = "127.0.0.1";
    int port = 8888;                       // 0: any free port
    std::string dataFolder;                // empty: defaultDataFolder(); relative: to the working folder
    std::string advertiseHost;             // empty: the listen address
    uint32_t latestVersion = 103;          // what the metadata request reports
    int keyBits = 1024;                    // for a key pair made on first start
    ConnectionLimits connections;          // deadlines, keep-alive, workers, body budget

    // Failed logins of one account from one address that start a cool-down,
    // counted over the window; during the cool-down, and until those
    // failures have left the window, that account is refused from that
    // address whatever the password.
    int loginFailureLimit = 10;
    std::chrono::milliseconds loginFailureWindow { std::chrono::minutes (10) };
    std::chrono::milliseconds loginCooldown { std::chrono::minutes (5) };
    // Failed logins from one address, whatever the accounts, that refuse
    // every login from there for the cool-down.
    int addressFailureLimit = 100;
    std::chrono::milliseconds addressFailureWindow { std::chrono::minutes (10) };
    // How long a verified login is taken again without the slow check.
    std::chrono::milliseconds loginMemory { std::chrono::minutes (5) };
    // PBKDF2 rounds of newly stored passwords; fewer only for fast tests.
    int passwordRounds = servercrypto::kDefaultRounds;
    // Presets one account may hold; past it only its existing names can be
    // replaced. 0: no limit.
    uint32_t accountPresetLimit = 2000;
    // Entries of each login table; 0: as many as 16 MB hold. Fewer only for tests.
    size_t loginTableEntries = 0;
    // The time logins are counted by; empty: LoginClock::now. Tests move it.
    std::function<LoginClock::time_point()> clock;

    static std::string defaultDataFolder(); // ~/.local/share/TalvoraXL/preset-server
};

class PresetServer : public HttpHandler
{
public:
    explicit PresetServer (PresetServerOptions options);
    ~PresetServer() override;

    // Creates the data folder, the database and the key pair as needed.
    // False with a reason when any of them cannot be used.
    bool open (std::string& error);

    // Binds and serves on threads of its own; the bound port, or -1.
    int start (std::string& error);
    void stop();
    int getPort() const noexcept { return port; }
    // Request bodies held now, in bytes, and the connection limit in force;
    // 0 when stopped.
    size_t heldBodyBytes() const noexcept;
    int connectionLimit() const noexcept;

    // Adds or replaces an account. The password itself is never stored: only
    // a slow salted derivation (PBKDF2) of its MD5 hex digest, which is what
    // logins carry.
    bool addAccount (const std::string& email, const std::string& password, std::string& error);

    const std::string& getPublicKey() const noexcept { return publicKey; }

    // The HTTP exchange without the transport: GET /server_address and
    // /public_key, refusals of anything but a plain form, and the
    // /synth_request answer.
    std::optional<HttpReply> screen (const RequestHead& head) override;
    HttpReply respond (const HttpRequest& request) override;
    // The metadata request only: everything else waits for a worker.
    bool isQuick (const HttpRequest& request) override;

    // The protocol's form fields of a /synth_request body, each the first
    // of its name and cut to a bound; empty on a malformed body.
    static std::map<std::string, std::string> parseForm (const std::string& body);

    // The base64 reply to a /synth_request with these fields from a client
    // at that address.
    std::string answer (const std::map<std::string, std::string>& fields, const std::string& clientAddress = {});

    // Hosts the plug-in accepts: letters, digits, "." and "-", 1 to 253 characters.
    static bool isValidHost (const std::string& host);

    static constexpr size_t kMaxBodySize = 2 * 1024 * 1024;
    static constexpr uint32_t kPageSize = 40;
    static constexpr size_t kPresetSize = 23758; // the program record

private:
    bool loadOrCreateKeys (const std::string& folder, std::string& error);
    LoginClock::time_point now() const { return options.clock ? options.clock() : LoginClock::now(); }
    // Null when the login holds (email is then its account), else the refusal.
    const char* checkLogin (const std::map<std::string, std::string>& fields, const std::string& clientAddress,
                            std::string& email);

    PresetServerOptions options;
    std::string publicKey, privateKey;
    servercrypto::PrivateKey loginKey;
    FailedLogins failedLogins;
    RememberedLogins rememberedLogins;
    PresetDatabase database;
    std::unique_ptr<HttpFront> http;
    int port = -1;
};
