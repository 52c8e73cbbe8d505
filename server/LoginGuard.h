#pragma once

// What the server remembers about logins between requests, in memory only and
// bounded in entries and bytes, each table behind its own lock.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

using LoginClock = std::chrono::steady_clock;

// Failed logins per key within a sliding window, counted in tenths of it. At
// the limit the key is locked for the cool-down, and stays locked until
// fewer than the limit of its failures remain within the window: at most the
// limit's failures are answered in any window-long span. A login counts as
// failed from the moment it starts (begin) until it holds, so logins checked
// at the same time cannot pass the limit together.
//
// Entries are of one fixed size whatever the key. A full table never
// refuses: expired entries give way first, then unlocked ones with the
// fewest failures, least recent first; locked ones never do, so forgetting a
// count costs more failures than the count itself, for every entry.
class FailureCounts
{
public:
    using Key = std::array<uint8_t, 16>; // a keyed digest, never the texts
    // What one entry costs the table, its node and bucket included.
    static constexpr size_t kEntryBytes = 128;

    FailureCounts (int limit, LoginClock::duration window, LoginClock::duration cooldown, size_t maxEntries);

    bool canBegin (const Key& key, LoginClock::time_point now); // not locked
    void begin (const Key& key, LoginClock::time_point now);    // after canBegin
    void failed (const Key& key, LoginClock::time_point now);
    // Takes back the login begun; `clear` also forgets the key's failures.
    void succeeded (const Key& key, bool clear, LoginClock::time_point now);
    bool isLocked (const Key& key, LoginClock::time_point now);

    size_t size() const noexcept { return entries.size(); }
    size_t bytes() const noexcept { return entries.size() * kEntryBytes; }

private:
    static constexpr int kSlots = 11; // ten tenths of the window and the one running

    struct Entry
    {
        int64_t newestSlot = 0;                  // the tenth the last slot written stands for
        LoginClock::rep lockedUntil = 0, lastFailure = 0;
        std::array<uint16_t, kSlots> counts {};  // failures per tenth, a ring
        uint16_t pending = 0;                    // logins begun, not yet decided
    };
    struct KeyHash
    {
        size_t operator() (const Key& key) const noexcept; // the digest is hash enough
    };
    using Entries = std::unordered_map<Key, Entry, KeyHash>;

    void advance (Entry& e, LoginClock::time_point now) const;
    static unsigned counted (const Entry& e) noexcept;
    bool locked (Entry& e, LoginClock::time_point now) const;
    bool makeRoom (LoginClock::time_point now);
    Entries::iterator find (const Key& key, LoginClock::time_point now, bool create);
    void settle (Entries::iterator it, LoginClock::time_point now);

    const unsigned limit;
    const LoginClock::duration cooldown, slotWidth;
    const size_t capacity;
    Entries entries;
};

// Failed logins per account and client address (after `limit` within
// `window` that account is refused from that address, whatever the
// password, for the cool-down and until those failures have left the
// window), and per address alone (the same after `addressLimit` within
// `addressWindow`, for every login from it), so no flood of failures under
// other names resets a count.
class FailedLogins
{
public:
    static constexpr int kMaxLimit = 100;        // kept per entry, so capped
    static constexpr int kMaxAddressLimit = 10000;
    static constexpr size_t kMaxAccountBytes = 127; // what a record's author field holds
    static constexpr size_t kTableBytes = 16 * 1024 * 1024; // each table's share of memory

    // maxEntries 0: as many as kTableBytes hold.
    FailedLogins (int limit, LoginClock::duration window, LoginClock::duration cooldown, size_t maxEntries = 0,
                  int addressLimit = 100, LoginClock::duration addressWindow = std::chrono::minutes (10));

    // Whether a login may be checked now; if so it counts as failed until
    // succeeded() says otherwise. One step, so concurrent guesses cannot
    // all pass a check made before any of them is counted.
    bool begin (const std::string& account, const std::string& address, LoginClock::time_point now);
    void failed (const std::string& account, const std::string& address, LoginClock::time_point now);
    void succeeded (const std::string& account, const std::string& address, LoginClock::time_point now = LoginClock::now());
    bool isLocked (const std::string& account, const std::string& address, LoginClock::time_point now);

    size_t size();  // account and address pairs counted
    size_t bytes(); // held by both tables

private:
    struct Keys
    {
        FailureCounts::Key account, address;
    };
    Keys keysOf (const std::string& account, const std::string& address) const;

    const std::string secret; // keys the digests, so nobody can aim at a collision
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
