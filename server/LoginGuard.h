#pragma once

// What the server remembers about logins between requests, in memory only and
// bounded in entries and bytes, each table behind its own lock.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using LoginClock = std::chrono::steady_clock;

// Failed logins per key within a sliding window; at the limit the key is
// locked for the cool-down and counting starts afresh after it. A login is
// counted as failed from the moment it starts (begin) until it holds, so
// logins checked at the same time cannot pass the limit together. A full
// table refuses new keys rather than forget a count still inside its window.
class FailureCounts
{
public:
    FailureCounts (int limit, LoginClock::duration window, LoginClock::duration cooldown, size_t capacity,
                   size_t byteBudget);

    bool canBegin (const std::string& key, LoginClock::time_point now); // not locked, and room for it
    void begin (const std::string& key, LoginClock::time_point now);    // after canBegin
    void failed (const std::string& key, LoginClock::time_point now);
    // Takes back the login begun; `clear` also forgets the key's failures.
    void succeeded (const std::string& key, bool clear, LoginClock::time_point now);
    bool isLocked (const std::string& key, LoginClock::time_point now);

    size_t size() const noexcept { return entries.size(); }
    size_t bytes() const noexcept { return used; }

private:
    struct Entry
    {
        std::vector<LoginClock::time_point> failures; // within the window, oldest first
        size_t pending = 0;                           // logins begun, not yet decided
        LoginClock::time_point lockedUntil {};
    };
    using Entries = std::unordered_map<std::string, Entry>;

    static size_t costOf (const std::string& key, const Entry& e) noexcept;
    bool makeRoom (const std::string& key, LoginClock::time_point now);
    Entries::iterator find (const std::string& key, LoginClock::time_point now, bool create);
    void prune (Entry& e, LoginClock::time_point now) const;
    bool locked (Entry& e, LoginClock::time_point now) const;
    void settle (Entries::iterator it, size_t before, LoginClock::time_point now);

    const size_t limit;
    const LoginClock::duration window, cooldown;
    const size_t capacity, byteBudget;
    size_t used = 0;
    Entries entries;
};

// Failed logins per account and client address (after `limit` within
// `window` that account is refused from that address for `cooldown`,
// whatever the password), and per address alone (after `addressLimit`
// within `addressWindow` every login from it is refused for the cool-down),
// so no flood of failures under other names resets a count.
class FailedLogins
{
public:
    static constexpr int kMaxLimit = 100;        // kept per entry, so capped
    static constexpr int kMaxAddressLimit = 10000;
    static constexpr size_t kMaxAccountBytes = 127; // what a record's author field holds

    FailedLogins (int limit, LoginClock::duration window, LoginClock::duration cooldown, size_t capacity = 16384,
                  int addressLimit = 100, LoginClock::duration addressWindow = std::chrono::minutes (10));

    // Whether a login may be checked now; if so it counts as failed until
    // succeeded() says otherwise. One step, so concurrent guesses cannot
    // all pass a check made before any of them is counted.
    bool begin (const std::string& account, const std::string& address, LoginClock::time_point now);
    void failed (const std::string& account, const std::string& address, LoginClock::time_point now);
    void succeeded (const std::string& account, const std::string& address, LoginClock::time_point now = LoginClock::now());
    bool isLocked (const std::string& account, const std::string& address, LoginClock::time_point now);

    size_t size();  // accounts counted
    size_t bytes(); // held by both tables, roughly

private:
    static std::string keyOf (const std::string& account, const std::string& address);

    std::mutex lock;
    FailureCounts perAccount, perAddress;
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
    // Whether a login is remembered at all, before its account is looked up.
    bool mayContain (const std::string& key, LoginClock::time_point now);
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
