#pragma once

// What the server remembers about logins between requests, in memory only and
// bounded in size, each table behind its own lock.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using LoginClock = std::chrono::steady_clock;

// Failed logins per account and client address: after `limit` failures within
// `window`, that account is refused from that address for `cooldown`,
// whatever the password. Other accounts and addresses are not affected.
class FailedLogins
{
public:
    // Each entry keeps up to `limit` times: the limit is capped so that a full
    // table stays small.
    static constexpr int kMaxLimit = 100;
    FailedLogins (int limit, LoginClock::duration window, LoginClock::duration cooldown, size_t capacity = 16384);

    bool isLocked (const std::string& account, const std::string& address, LoginClock::time_point now);
    void failed (const std::string& account, const std::string& address, LoginClock::time_point now);
    void succeeded (const std::string& account, const std::string& address);

    size_t size();

private:
    struct Entry
    {
        std::vector<LoginClock::time_point> failures; // within the window, oldest first
        LoginClock::time_point lockedUntil {};
        LoginClock::time_point lastFailure {};
    };

    static std::string keyOf (const std::string& account, const std::string& address);
    void makeRoom (LoginClock::time_point now);

    const size_t limit;
    const LoginClock::duration window, cooldown;
    const size_t capacity;
    std::mutex lock;
    std::unordered_map<std::string, Entry> entries;
};

// Logins verified a short while ago, so a browsing session pays the slow
// password check once. Each is remembered with the account's stored salt and
// hash at the time: once a reset has changed them, it no longer counts.
class RememberedLogins
{
public:
    explicit RememberedLogins (LoginClock::duration lifetime, size_t capacity = 4096);

    // Keys are digests: the password fields themselves are not kept.
    static std::string keyOf (const std::string& account, const std::string& passwordField);

    bool contains (const std::string& key, const std::string& salt, const std::string& hash, LoginClock::time_point now);
    void remember (const std::string& key, const std::string& salt, const std::string& hash, LoginClock::time_point now);

    size_t size();

private:
    struct Entry
    {
        std::string salt, hash;
        LoginClock::time_point expires;
    };

    const LoginClock::duration lifetime;
    const size_t capacity;
    std::mutex lock;
    std::unordered_map<std::string, Entry> entries;
};
