#include "LoginGuard.h"

#include <algorithm>

#include "ServerCrypto.h"

FailedLogins::FailedLogins (int l, LoginClock::duration w, LoginClock::duration c, size_t cap)
    : limit ((size_t) std::clamp (l, 1, kMaxLimit)), window (w), cooldown (c), capacity (std::max<size_t> (1, cap))
{
}

std::string FailedLogins::keyOf (const std::string& account, const std::string& address)
{
    // An address never holds a NUL, so the pair cannot be mistaken for another.
    return address + '\0' + account;
}

bool FailedLogins::isLocked (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    std::lock_guard<std::mutex> guard (lock);
    const auto it = entries.find (keyOf (account, address));
    return it != entries.end() && now < it->second.lockedUntil;
}

void FailedLogins::failed (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    std::lock_guard<std::mutex> guard (lock);
    const std::string key = keyOf (account, address);
    auto it = entries.find (key);
    if (it == entries.end())
    {
        if (entries.size() >= capacity)
            makeRoom (now);
        it = entries.emplace (key, Entry {}).first;
    }

    Entry& e = it->second;
    e.lastFailure = now;
    e.failures.erase (e.failures.begin(),
                      std::find_if (e.failures.begin(), e.failures.end(),
                                    [&] (LoginClock::time_point t) { return now - t < window; }));
    e.failures.push_back (now);
    if (e.failures.size() >= limit)
    {
        // Counting starts afresh once the cool-down is over.
        e.lockedUntil = now + cooldown;
        e.failures.clear();
    }
}

void FailedLogins::succeeded (const std::string& account, const std::string& address)
{
    std::lock_guard<std::mutex> guard (lock);
    entries.erase (keyOf (account, address));
}

size_t FailedLogins::size()
{
    std::lock_guard<std::mutex> guard (lock);
    return entries.size();
}

void FailedLogins::makeRoom (LoginClock::time_point now)
{
    // First whatever no longer matters; then the entry failed longest ago,
    // sparing running cool-downs as long as any other entry is left.
    for (auto it = entries.begin(); it != entries.end();)
    {
        const bool stale = now >= it->second.lockedUntil && now - it->second.lastFailure >= window;
        it = stale ? entries.erase (it) : std::next (it);
    }
    if (entries.size() < capacity)
        return;

    auto oldest = entries.end();
    for (int pass = 0; pass < 2 && oldest == entries.end(); ++pass)
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if ((pass == 1 || now >= it->second.lockedUntil)
                && (oldest == entries.end() || it->second.lastFailure < oldest->second.lastFailure))
                oldest = it;
    entries.erase (oldest);
}

RememberedLogins::RememberedLogins (LoginClock::duration l, size_t cap)
    : lifetime (l), capacity (std::max<size_t> (1, cap))
{
}

std::string RememberedLogins::keyOf (const std::string& account, const std::string& passwordField)
{
    return servercrypto::sha256 (std::to_string (account.size()) + ':' + account + passwordField);
}

bool RememberedLogins::contains (const std::string& key, const std::string& salt, const std::string& hash,
                                 LoginClock::time_point now)
{
    std::lock_guard<std::mutex> guard (lock);
    const auto it = entries.find (key);
    if (it == entries.end())
        return false;
    if (now >= it->second.expires)
    {
        entries.erase (it);
        return false;
    }
    return servercrypto::sameBytes (it->second.salt, salt) && servercrypto::sameBytes (it->second.hash, hash);
}

void RememberedLogins::remember (const std::string& key, const std::string& salt, const std::string& hash,
                                 LoginClock::time_point now)
{
    std::lock_guard<std::mutex> guard (lock);
    if (entries.size() >= capacity && entries.find (key) == entries.end())
    {
        for (auto it = entries.begin(); it != entries.end();)
            it = now >= it->second.expires ? entries.erase (it) : std::next (it);
        if (entries.size() >= capacity)
            entries.erase (std::min_element (entries.begin(), entries.end(), [] (const auto& a, const auto& b) {
                return a.second.expires < b.second.expires;
            }));
    }
    entries[key] = Entry { salt, hash, now + lifetime };
}

size_t RememberedLogins::size()
{
    std::lock_guard<std::mutex> guard (lock);
    return entries.size();
}
