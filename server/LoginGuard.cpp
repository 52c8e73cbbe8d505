#include "LoginGuard.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "ServerCrypto.h"

namespace
{
int64_t slotOf (LoginClock::time_point t, LoginClock::duration width) noexcept
{
    const auto ticks = t.time_since_epoch().count(), w = width.count();
    return ticks >= 0 ? ticks / w : -((-ticks + w - 1) / w);
}

template <typename Counts>
uint16_t& slotIn (Counts& counts, int64_t slot) noexcept
{
    const auto size = (int64_t) counts.size();
    return counts[(size_t) (((slot % size) + size) % size)];
}
} // namespace

size_t FailureCounts::KeyHash::operator() (const Key& key) const noexcept
{
    size_t h = 0;
    std::memcpy (&h, key.data(), sizeof (h));
    return h;
}

FailureCounts::FailureCounts (int l, LoginClock::duration w, LoginClock::duration c, size_t maxEntries)
    : limit ((unsigned) std::clamp (l, 1, (int) std::numeric_limits<uint16_t>::max())), cooldown (c),
      slotWidth (std::max (w / (kSlots - 1), LoginClock::duration (1))), capacity (std::max<size_t> (1, maxEntries))
{
}

void FailureCounts::advance (Entry& e, LoginClock::time_point now) const
{
    // A time a little behind the newest (another thread's) counts in the newest tenth.
    const int64_t slot = slotOf (now, slotWidth);
    if (slot <= e.newestSlot)
        return;
    if (slot - e.newestSlot >= kSlots)
        e.counts.fill (0);
    else
        for (int64_t s = e.newestSlot + 1; s <= slot; ++s)
            slotIn (e.counts, s) = 0;
    e.newestSlot = slot;
}

unsigned FailureCounts::counted (const Entry& e) noexcept
{
    unsigned sum = 0;
    for (const uint16_t c : e.counts)
        sum += c;
    return sum;
}

bool FailureCounts::locked (Entry& e, LoginClock::time_point now) const
{
    advance (e, now);
    return now.time_since_epoch().count() < e.lockedUntil || counted (e) + e.pending >= limit;
}

bool FailureCounts::makeRoom (LoginClock::time_point now)
{
    if (entries.size() < capacity)
        return true;
    // One pass frees a sixteenth of the table, so a flood pays for the scan
    // once every few thousand new keys rather than on each.
    const size_t wanted = std::max<size_t> (1, capacity / 16);
    size_t freed = 0;
    struct Candidate
    {
        unsigned failures;
        LoginClock::rep last;
        Entries::iterator it;
    };
    std::vector<Candidate> candidates;
    for (auto it = entries.begin(); it != entries.end();)
    {
        Entry& e = it->second;
        if (e.pending > 0 || locked (e, now))
        {
            ++it;
            continue;
        }
        const unsigned failures = counted (e);
        if (failures == 0)
        {
            it = entries.erase (it);
            ++freed;
            continue;
        }
        candidates.push_back ({ failures, e.lastFailure, it });
        ++it;
    }
    if (freed < wanted && ! candidates.empty())
    {
        const size_t more = std::min (wanted - freed, candidates.size());
        const auto less = [] (const Candidate& a, const Candidate& b) {
            return a.failures != b.failures ? a.failures < b.failures : a.last < b.last;
        };
        std::nth_element (candidates.begin(), candidates.begin() + (std::ptrdiff_t) (more - 1), candidates.end(), less);
        for (size_t i = 0; i < more; ++i)
            entries.erase (candidates[i].it);
    }
    return entries.size() < capacity;
}

FailureCounts::Entries::iterator FailureCounts::find (const Key& key, LoginClock::time_point now, bool create)
{
    auto it = entries.find (key);
    if (it != entries.end())
    {
        advance (it->second, now);
        return it;
    }
    // A table holding nothing but locked keys leaves a new one uncounted here
    // rather than refuse it; the other table still counts it.
    if (! create || ! makeRoom (now))
        return entries.end();
    it = entries.emplace (key, Entry {}).first;
    it->second.newestSlot = slotOf (now, slotWidth);
    it->second.lockedUntil = std::numeric_limits<LoginClock::rep>::min();
    return it;
}

void FailureCounts::settle (Entries::iterator it, LoginClock::time_point now)
{
    const Entry& e = it->second;
    if (e.pending == 0 && counted (e) == 0 && now.time_since_epoch().count() >= e.lockedUntil)
        entries.erase (it);
}

bool FailureCounts::canBegin (const Key& key, LoginClock::time_point now)
{
    const auto it = entries.find (key);
    return it == entries.end() || ! locked (it->second, now);
}

void FailureCounts::begin (const Key& key, LoginClock::time_point now)
{
    const auto it = find (key, now, true);
    if (it != entries.end() && it->second.pending < std::numeric_limits<uint16_t>::max())
        ++it->second.pending;
}

void FailureCounts::failed (const Key& key, LoginClock::time_point now)
{
    const auto it = find (key, now, true);
    if (it == entries.end())
        return;
    Entry& e = it->second;
    e.pending -= e.pending > 0 ? 1 : 0;
    uint16_t& slot = slotIn (e.counts, e.newestSlot);
    slot += slot < std::numeric_limits<uint16_t>::max() ? 1 : 0;
    e.lastFailure = now.time_since_epoch().count();
    if (counted (e) >= limit)
        e.lockedUntil = std::max (e.lockedUntil, (now + cooldown).time_since_epoch().count());
}

void FailureCounts::succeeded (const Key& key, bool clear, LoginClock::time_point now)
{
    const auto it = find (key, now, false);
    if (it == entries.end())
        return;
    Entry& e = it->second;
    e.pending -= e.pending > 0 ? 1 : 0;
    if (clear)
    {
        e.counts.fill (0);
        e.lockedUntil = std::numeric_limits<LoginClock::rep>::min();
    }
    settle (it, now);
}

bool FailureCounts::isLocked (const Key& key, LoginClock::time_point now)
{
    const auto it = entries.find (key);
    return it != entries.end() && locked (it->second, now);
}

FailedLogins::FailedLogins (int l, LoginClock::duration w, LoginClock::duration c, size_t maxEntries,
                            int addressLimit, LoginClock::duration addressWindow)
    : secret (servercrypto::randomBytes (32)),
      perAccount (std::clamp (l, 1, kMaxLimit), w, c, maxEntries > 0 ? maxEntries : kTableBytes / FailureCounts::kEntryBytes),
      perAddress (std::clamp (addressLimit, 1, kMaxAddressLimit), addressWindow, c,
                  maxEntries > 0 ? maxEntries : kTableBytes / FailureCounts::kEntryBytes)
{
}

FailedLogins::Keys FailedLogins::keysOf (const std::string& account, const std::string& address) const
{
    // The address's length first, so no pair reads as another.
    const std::string addressText = secret + 'A' + std::to_string (address.size()) + ':' + address;
    const std::string addressDigest = servercrypto::sha256 (addressText);
    const std::string accountDigest = servercrypto::sha256 (addressText + account);
    Keys keys;
    std::memcpy (keys.address.data(), addressDigest.data(), keys.address.size());
    std::memcpy (keys.account.data(), accountDigest.data(), keys.account.size());
    return keys;
}

bool FailedLogins::begin (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    if (account.size() > kMaxAccountBytes)
        return false;
    const Keys keys = keysOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    if (! perAddress.canBegin (keys.address, now) || ! perAccount.canBegin (keys.account, now))
        return false;
    perAddress.begin (keys.address, now);
    perAccount.begin (keys.account, now);
    return true;
}

void FailedLogins::failed (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const Keys keys = keysOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    perAddress.failed (keys.address, now);
    perAccount.failed (keys.account, now);
}

void FailedLogins::succeeded (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const Keys keys = keysOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    perAddress.succeeded (keys.address, false, now);
    perAccount.succeeded (keys.account, true, now);
}

bool FailedLogins::isLocked (const std::string& account, const std::string& address, LoginClock::time_point now)
{
    const Keys keys = keysOf (account, address);
    std::lock_guard<std::mutex> guard (lock);
    return perAddress.isLocked (keys.address, now) || perAccount.isLocked (keys.account, now);
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
