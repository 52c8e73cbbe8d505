#include "LoginGuard.h"

#include <algorithm>

#include "ServerCrypto.h"

FailureCounts::FailureCounts (int l, LoginClock::duration w, LoginClock::duration c, size_t cap, size_t budget)
    : limit ((size_t) std::max (1, l)), window (w), cooldown (c), capacity (std::max<size_t> (1, cap)),
      byteBudget (budget)
{
}

size_t FailureCounts::costOf (const std::string& key, const Entry& e) noexcept
{
    // The key, the times and what the table spends on an entry besides.
    return key.size() + e.failures.capacity() * sizeof (LoginClock::time_point) + 96;
}

void FailureCounts::prune (Entry& e, LoginClock::time_point now) const
{
    e.failures.erase (e.failures.begin(), std::find_if (e.failures.begin(), e.failures.end(),
                                                        [&] (LoginClock::time_point t) { return now - t < window; }));
}

bool FailureCounts::locked (Entry& e, LoginClock::time_point now) const
{
    prune (e, now);
    return now < e.lockedUntil || e.failures.size() + e.pending >= limit;
}

bool FailureCounts::makeRoom (const std::string& key, LoginClock::time_point now)
{
    const auto fits = [&] { return entries.size() < capacity && used + costOf (key, Entry {}) <= byteBudget; };
    if (fits())
        return true;
    // Only what no longer counts makes room.
    for (auto o = entries.begin(); o != entries.end();)
    {
        prune (o->second, now);
        const bool stale = o->second.pending == 0 && o->second.failures.empty() && now >= o->second.lockedUntil;
        if (stale)
            used -= costOf (o->first, o->second);
        o = stale ? entries.erase (o) : std::next (o);
    }
    return fits();
}

FailureCounts::Entries::iterator FailureCounts::find (const std::string& key, LoginClock::time_point now, bool create)
{
    auto it = entries.find (key);
    if (it != entries.end() || ! create || ! makeRoom (key, now))
        return it;
    it = entries.emplace (key, Entry {}).first;
    used += costOf (key, it->second);
    return it;
}

void FailureCounts::settle (Entries::iterator it, size_t before, LoginClock::time_point now)
{
    Entry& e = it->second;
    used = used - before + costOf (it->first, e);
    if (e.pending == 0 && e.failures.empty() && now >= e.lockedUntil)
    {
        used -= costOf (it->first, e);
        entries.erase (it);
    }
}

bool FailureCounts::canBegin (const std::string& key, LoginClock::time_point now)
{
    const auto it = entries.find (key);
    if (it != entries.end())
        return ! locked (it->second, now);
    return makeRoom (key, now);
}

void FailureCounts::begin (const std::string& key, LoginClock::time_point now)
{
    const auto it = find (key, now, true);
    if (it != entries.end())
        ++it->second.pending;
}

void FailureCounts::failed (const std::string& key, LoginClock::time_point now)
{
    const auto it = find (key, now, true);
    if (it == entries.end())
        return;
    Entry& e = it->second;
    const size_t before = costOf (it->first, e);
    e.pending -= std::min<size_t> (e.pending, 1);
    prune (e, now);
    e.failures.push_back (now);
    if (e.failures.size() >= limit)
    {
        e.lockedUntil = now + cooldown;
        e.failures.clear();
        e.failures.shrink_to_fit();
    }
    settle (it, before, now);
}

void FailureCounts::succeeded (const std::string& key, bool clear, LoginClock::time_point now)
{
    const auto it = entries.find (key);
    if (it == entries.end())
        return;
    Entry& e = it->second;
    const size_t before = costOf (it->first, e);
    e.pending -= std::min<size_t> (e.pending, 1);
    if (clear)
    {
        e.failures.clear();
        e.failures.shrink_to_fit();
        e.lockedUntil = {};
    }
    settle (it, before, now);
}

bool FailureCounts::isLocked (const std::string& key, LoginClock::time_point now)
{
    const auto it = entries.find (key);
    return it != entries.end() && locked (it->second, now);
}

FailedLogins::FailedLogins (int l, LoginClock::duration w, LoginClock::duration c, size_t cap, int addressLimit,
                            LoginClock::duration addressWindow)
    : perAccount (std::clamp (l, 1, kMaxLimit), w, c, cap, 16 * 1024 * 1024),
      perAddress (std::clamp (addressLimit, 1, kMaxAddressLimit), addressWindow, c, cap, 16 * 1024 * 1024)
{
}

std::string FailedLogins::keyOf (const std::string& account, const std::string& address)
{
    // An address never holds a NUL, so the pair cannot be mistaken for another.
    return address + '\0' + account;
}

bool FailedLogins::begin (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    if (account.size() > kMaxAccountBytes)
        return false;
    const std::string key = keyOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    if (! perAddress.canBegin (address, now) || ! perAccount.canBegin (key, now))
        return false;
    perAddress.begin (address, now);
    perAccount.begin (key, now);
    return true;
}

void FailedLogins::failed (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const std::string key = keyOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    perAddress.failed (address, now);
    perAccount.failed (key, now);
}

void FailedLogins::succeeded (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const std::string key = keyOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    perAddress.succeeded (address, false, now);
    perAccount.succeeded (key, true, now);
}

bool FailedLogins::isLocked (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const std::string key = keyOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    return perAddress.isLocked (address, now) || perAccount.isLocked (key, now);
}

size_t FailedLogins::size()
{
    std::lock_guard<std::mutex> guard (lock);
    return perAccount.size();
}

size_t FailedLogins::bytes()
{
    std::lock_guard<std::mutex> guard (lock);
    return perAccount.bytes() + perAddress.bytes();
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
    // Forgotten once the password has changed, so the old one takes the slow way again.
    if (servercrypto::sameBytes (it->second.salt, salt) && servercrypto::sameBytes (it->second.hash, hash))
        return true;
    entries.erase (it);
    return false;
}

bool RememberedLogins::mayContain (const std::string& key, LoginClock::time_point now)
{
    std::lock_guard<std::mutex> guard (lock);
    const auto it = entries.find (key);
    return it != entries.end() && now < it->second.expires;
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
