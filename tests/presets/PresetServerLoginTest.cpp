// Logins at the preset server: guessing is cut short per account and client
// address, stored passwords are slow to guess and old ones are upgraded,
// verified logins are remembered until the password changes, and the
// server's decryption agrees with the plug-in's encryption.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include <juce_cryptography/juce_cryptography.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include "LoginGuard.h"
#include "ServerCrypto.h"
#include "ServerRig.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

using namespace serverrig;
using namespace std::chrono_literals;

namespace
{
const std::string kAnn = "ann@example.org", kAnnPassword = "ann's secret";
const std::string kBob = "bob@example.org", kBobPassword = "hunter2";
const std::string kWrong = "wrong e-mail or password";
const std::string kTooMany = "too many failed logins, try again later";

std::string md5Hex (const std::string& password)
{
    return juce::MD5 (password.data(), password.size()).toHexString().toStdString();
}

// An account's stored salt and hash, read or written beside the running server.
struct Row
{
    std::string salt, hash;
};

Row accountRow (Rig& rig, const std::string& email, const Row* replacement = nullptr)
{
    sqlite3* db = nullptr;
    const std::string path = rig.folder().getChildFile ("presets.sqlite").getFullPathName().toStdString();
    EXPECT_EQ (sqlite3_open (path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout (db, 5000);
    sqlite3_stmt* st = nullptr;
    const char* sql = replacement != nullptr ? "INSERT OR REPLACE INTO accounts (email, salt, hash) VALUES (?1, ?2, ?3)"
                                             : "SELECT salt, hash FROM accounts WHERE email = ?1";
    EXPECT_EQ (sqlite3_prepare_v2 (db, sql, -1, &st, nullptr), SQLITE_OK);
    sqlite3_bind_blob (st, 1, email.data(), (int) email.size(), SQLITE_TRANSIENT);
    Row row;
    if (replacement != nullptr)
    {
        sqlite3_bind_blob (st, 2, replacement->salt.data(), (int) replacement->salt.size(), SQLITE_TRANSIENT);
        sqlite3_bind_blob (st, 3, replacement->hash.data(), (int) replacement->hash.size(), SQLITE_TRANSIENT);
        EXPECT_EQ (sqlite3_step (st), SQLITE_DONE);
        EXPECT_EQ (sqlite3_changes (db), 1);
    }
    else if (sqlite3_step (st) == SQLITE_ROW)
    {
        row.salt.assign ((const char*) sqlite3_column_blob (st, 0), (size_t) sqlite3_column_bytes (st, 0));
        row.hash.assign ((const char*) sqlite3_column_blob (st, 1), (size_t) sqlite3_column_bytes (st, 1));
    }
    sqlite3_finalize (st);
    sqlite3_close (db);
    return row;
}

// A list request as the plug-in sends it, answered as if from that address;
// the password field as sent, or encrypted here.
std::unique_ptr<RequestResponse> listAs (Rig& rig, const std::string& address, const std::string& email,
                                         const std::string& passwordField)
{
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    HttpRequest http;
    http.head.method = "POST";
    http.head.path = "/synth_request";
    http.head.peer = address;
    http.body = "requestData=" + formEncode (base64::encode (request.data(), request.size())) + "&email="
              + formEncode (email) + "&password=" + formEncode (passwordField) + "&search=";
    const HttpReply reply = rig.get().respond (http);
    EXPECT_EQ (reply.status, 200);
    const auto bytes = base64::decode (reply.body);
    return requestResponseFromBuffer (bytes.data(), bytes.size());
}

std::unique_ptr<RequestResponse> listFrom (Rig& rig, const std::string& address, const std::string& email,
                                           const std::string& password)
{
    return listAs (rig, address, email, logincrypto::encryptPassword (password, rig.get().getPublicKey()));
}

std::string textOf (const std::unique_ptr<RequestResponse>& reply)
{
    return reply != nullptr ? std::string (reply->payload.begin(), reply->payload.end()) : std::string();
}

double median (std::vector<double> values)
{
    std::sort (values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

TEST (PresetServerLogins, RepeatedFailuresLockOneAccountFromOneAddressForAWhile)
{
    PresetServerOptions options;
    options.loginCooldown = 1000ms;
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);
    rig.addAccount (kBob, kBobPassword);

    // Everything that must fall within the cool-down comes first after the
    // tenth failure; other logins go between the failures and after.
    std::vector<std::string> answers;
    auto lockedAt = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i)
    {
        answers.push_back (rig.list (kAnn, "guess " + std::to_string (i), 0).text());
        if (i == 9)
            lockedAt = std::chrono::steady_clock::now();
        if (i < 9)
            EXPECT_EQ (rig.list (kBob, kBobPassword, 0).type(), (uint32_t) PRESET_LIST) << i;
    }
    // The right password is refused too, from this address only.
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).text(), kTooMany);
    const auto elsewhere = listFrom (rig, "127.0.0.2", kAnn, kAnnPassword);
    ASSERT_LT (std::chrono::steady_clock::now() - lockedAt, options.loginCooldown) << "too slow to see the cool-down";
    ASSERT_NE (elsewhere, nullptr);
    EXPECT_EQ (elsewhere->type, (uint32_t) PRESET_LIST);
    EXPECT_EQ (rig.list (kBob, kBobPassword, 0).type(), (uint32_t) PRESET_LIST);

    for (size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ (answers[i], i < 10 ? kWrong : kTooMany) << i;

    // A field longer than the key allows is refused like any wrong password.
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    EXPECT_EQ (rig.postFields ({ { "requestData", base64::encode (request.data(), request.size()) },
                                 { "email", kBob }, { "password", std::string (765, 'A') } })
                   .text(),
               kWrong);

    // The cool-down is over, but the failures are still within the window.
    std::this_thread::sleep_until (lockedAt + options.loginCooldown + 50ms);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).text(), kTooMany);
    EXPECT_EQ (rig.list (kAnn, "one more guess", 0).text(), kTooMany);
}

TEST (PresetServerLogins, OldStoredPasswordsLogInAndAreRewritten)
{
    Rig rig ({}, Hashing::asDeployed);
    // As accounts were stored before: one SHA-256 of salt and digest.
    Row old;
    old.salt = "sixteen salt byt";
    const std::string salted = old.salt + md5Hex (kAnnPassword);
    const juce::MemoryBlock sha = juce::SHA256 (salted.data(), salted.size()).getRawData();
    old.hash.assign ((const char*) sha.getData(), sha.getSize());
    accountRow (rig, kAnn, &old);

    EXPECT_EQ (rig.list (kAnn, "ann's secreT", 0).text(), kWrong);
    EXPECT_EQ (accountRow (rig, kAnn).hash, old.hash);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);

    // Now PBKDF2-HMAC-SHA256 with 200,000 rounds over a new salt.
    const Row now = accountRow (rig, kAnn);
    EXPECT_NE (now.salt, old.salt);
    EXPECT_EQ (now.salt.size(), 16u);
    const std::string prefix = "pbkdf2-sha256$200000$";
    ASSERT_EQ (now.hash.rfind (prefix, 0), 0u);
    std::string derived (32, '\0');
    const std::string digest = md5Hex (kAnnPassword);
    ASSERT_EQ (PKCS5_PBKDF2_HMAC (digest.data(), (int) digest.size(), (const unsigned char*) now.salt.data(),
                                  (int) now.salt.size(), 200000, EVP_sha256(), 32, (unsigned char*) derived.data()),
               1);
    EXPECT_EQ (now.hash.substr (prefix.size()), derived);

    // The new form holds on its own, with nothing remembered.
    rig.restart();
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);
    EXPECT_EQ (accountRow (rig, kAnn).hash, now.hash);
}

TEST (PresetServerLogins, PasswordResetByTheProgramEndsRememberedLogins)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    rig.addAccount (kBob, kBobPassword);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST); // remembered
    EXPECT_EQ (rig.list (kBob, kBobPassword, 0).type(), (uint32_t) PRESET_LIST);

    // Another process resets the password while the server runs.
    const juce::String command = juce::String (TALVORA_PRESET_SERVER_PROGRAM) + " --data '"
                               + rig.folder().getFullPathName() + "' --add-account " + kAnn + " > /dev/null";
    FILE* adder = ::popen (command.toRawUTF8(), "w");
    ASSERT_NE (adder, nullptr);
    std::fputs ("a new secret\n", adder);
    ASSERT_EQ (::pclose (adder), 0);

    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).text(), kWrong);
    EXPECT_EQ (rig.list (kAnn, "a new secret", 0).type(), (uint32_t) PRESET_LIST);
    EXPECT_EQ (rig.list (kBob, kBobPassword, 0).type(), (uint32_t) PRESET_LIST);
}

TEST (PresetServerLogins, GuardTablesCountExpireAndStayBounded)
{
    const LoginClock::time_point t0 {};
    FailedLogins failures (3, 60s, 30s, 4);
    // The window slides: three failures spread over more than a minute lock nothing.
    for (auto t : { t0, t0 + 40s, t0 + 70s })
        failures.failed ("a", "addr", t);
    EXPECT_FALSE (failures.isLocked ("a", "addr", t0 + 70s));
    failures.failed ("a", "addr", t0 + 80s);
    EXPECT_TRUE (failures.isLocked ("a", "addr", t0 + 80s));
    EXPECT_FALSE (failures.isLocked ("b", "addr", t0 + 80s));
    EXPECT_FALSE (failures.isLocked ("a", "other", t0 + 80s));
    // The cool-down has ended and the failure at 40 s has left the window:
    // one more guess, and the three within a minute lock again.
    EXPECT_FALSE (failures.isLocked ("a", "addr", t0 + 110s));
    failures.failed ("a", "addr", t0 + 110s);
    EXPECT_TRUE (failures.isLocked ("a", "addr", t0 + 110s));
    EXPECT_FALSE (failures.isLocked ("a", "addr", t0 + 146s)); // 70 s and 80 s are out
    // Success clears the count.
    failures.failed ("b", "addr", t0 + 1s);
    failures.failed ("b", "addr", t0 + 2s);
    failures.succeeded ("b", "addr");
    failures.failed ("b", "addr", t0 + 3s);
    EXPECT_FALSE (failures.isLocked ("b", "addr", t0 + 3s));

    // Full: other entries give way before a running cool-down.
    FailedLogins bounded (2, 60s, 30s, 4);
    bounded.failed ("locked", "addr", t0);
    bounded.failed ("locked", "addr", t0);
    for (int i = 0; i < 50; ++i)
        bounded.failed ("x" + std::to_string (i), "addr", t0 + 1s);
    EXPECT_LE (bounded.size(), 4u);
    EXPECT_TRUE (bounded.isLocked ("locked", "addr", t0 + 2s));

    RememberedLogins remembered (60s, 3);
    const std::string key = RememberedLogins::keyOf ("a", "field");
    EXPECT_NE (key, RememberedLogins::keyOf ("a", "field2"));
    EXPECT_NE (RememberedLogins::keyOf ("a1", "2"), RememberedLogins::keyOf ("a", "12"));
    remembered.remember (key, "salt", "hash", t0);
    EXPECT_TRUE (remembered.contains (key, "salt", "hash", t0 + 59s));
    EXPECT_FALSE (remembered.contains (key, "salt", "other hash", t0 + 59s));
    EXPECT_FALSE (remembered.contains (key, "salt", "hash", t0 + 60s));
    for (int i = 0; i < 10; ++i)
        remembered.remember (RememberedLogins::keyOf ("x", std::to_string (i)), "s", "h", t0 + std::chrono::seconds (i));
    EXPECT_LE (remembered.size(), 3u);
    EXPECT_TRUE (remembered.contains (RememberedLogins::keyOf ("x", "9"), "s", "h", t0 + 10s));
}

TEST (PresetServerLogins, DecryptionAgreesWithTheFrameworkAndRefusesLongFields)
{
    // A usual key, and one so short that the digest is encrypted in several digits.
    for (int bits : { 320, 64 })
    {
        juce::RSAKey pub, priv;
        juce::RSAKey::createKeyPair (pub, priv, bits);
        servercrypto::PrivateKey key;
        ASSERT_TRUE (key.load (priv.toString().toStdString()));

        for (const std::string password : { "", "x", "ann's secret", "Grüße" })
        {
            const std::string field = logincrypto::encryptPassword (password, pub.toString().toStdString());
            EXPECT_EQ (key.decryptPassword (field), md5Hex (password)) << bits;
        }
        // Any value within the size limit decrypts as the framework does it.
        for (uint32_t seed = 1; seed < 6; ++seed)
        {
            auto bytes = presetBytes (seed, key.maxEncryptedBytes() - seed % 2);
            const std::string field = base64::encode (bytes.data(), bytes.size());
            EXPECT_EQ (key.decryptPassword (field), logincrypto::decryptPassword (field, priv.toString().toStdString()));
        }
        const auto tooLong = presetBytes (9, key.maxEncryptedBytes() + 1);
        EXPECT_EQ (key.decryptPassword (base64::encode (tooLong.data(), tooLong.size())), "");
        EXPECT_EQ (key.decryptPassword (""), "");
    }
    servercrypto::PrivateKey unusable;
    EXPECT_FALSE (unusable.load ("11,0"));
    EXPECT_EQ (unusable.decryptPassword ("AAAA"), "");

    // A form with fewer rounds than wanted holds and asks to be rewritten.
    const std::string salt (16, 's'), digest = md5Hex ("pw");
    const std::string weak = servercrypto::storedHash (salt, digest, 1000);
    std::string newSalt, newStored;
    EXPECT_FALSE (servercrypto::matches (salt, weak, md5Hex ("pW"), 2000, newSalt, newStored));
    EXPECT_TRUE (newStored.empty());
    EXPECT_TRUE (servercrypto::matches (salt, weak, digest, 1000, newSalt, newStored));
    EXPECT_TRUE (newStored.empty());
    EXPECT_TRUE (servercrypto::matches (salt, weak, digest, 2000, newSalt, newStored));
    EXPECT_EQ (newStored.rfind ("pbkdf2-sha256$2000$", 0), 0u);
    const std::string strongSalt = newSalt, strong = newStored;
    EXPECT_TRUE (servercrypto::matches (strongSalt, strong, digest, 2000, newSalt, newStored));
    EXPECT_TRUE (newStored.empty());
}

TEST (PresetServerLogins, NoFloodUnderOtherNamesResetsACount)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    const std::string wrong = logincrypto::encryptPassword ("guess", rig.get().getPublicKey());
    const std::string address = "127.0.0.5";
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ (textOf (listAs (rig, address, kAnn, wrong)), kWrong) << i;

    // Failures under made-up names, more than the tables hold: the address
    // is locked once it has failed 100 times, whatever the names.
    const int flood = kSanitized ? 2000 : 16500;
    int answeredWrong = 0;
    for (int i = 0; i < flood; ++i)
        answeredWrong += textOf (listAs (rig, address, "n" + std::to_string (i) + "@example.org", wrong)) == kWrong;
    EXPECT_EQ (answeredWrong, 91);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (textOf (listAs (rig, address, kAnn, wrong)), kTooMany) << i;
    // Other addresses are not affected.
    EXPECT_EQ (listFrom (rig, "127.0.0.6", kAnn, kAnnPassword)->type, (uint32_t) PRESET_LIST);

    // E-mail fields no account can have are refused like any wrong login,
    // before they are counted: the address's count is where it was.
    for (int i = 0; i < 150; ++i)
        EXPECT_EQ (textOf (listAs (rig, "127.0.0.7", std::string (128, 'a') + std::to_string (i), wrong)), kWrong);
    EXPECT_EQ (listFrom (rig, "127.0.0.7", kAnn, kAnnPassword)->type, (uint32_t) PRESET_LIST);
}

TEST (PresetServerLogins, GuessesAtOnceGetNoMoreThanTheLimitAnswered)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);
    std::vector<std::string> fields;
    for (int i = 0; i < 64; ++i)
        fields.push_back (logincrypto::encryptPassword ("guess " + std::to_string (i), rig.get().getPublicKey()));

    std::atomic<int> wrong { 0 }, tooMany { 0 }, ready { 0 };
    std::vector<std::thread> clients;
    for (int c = 0; c < 16; ++c)
        clients.emplace_back ([&, c] {
            ++ready;
            while (ready < 16)
                std::this_thread::yield();
            for (int i = 0; i < 4; ++i)
            {
                const std::string text = textOf (listAs (rig, "127.0.0.1", kAnn, fields[(size_t) (c * 4 + i)]));
                (text == kWrong ? wrong : tooMany) += text == kWrong || text == kTooMany;
            }
        });
    for (auto& t : clients)
        t.join();
    EXPECT_LE (wrong.load(), 10);
    EXPECT_GE (wrong.load(), 1);
    EXPECT_EQ (wrong + tooMany, 64);
}

TEST (PresetServerLogins, UnknownAccountsCostWhatAWrongPasswordCosts)
{
    PresetServerOptions options;
    options.passwordRounds = 20000; // slow enough to stand out from the rest of a request
    options.loginFailureLimit = FailedLogins::kMaxLimit;
    options.addressFailureLimit = 1000;
    Rig rig (options, Hashing::asDeployed);
    rig.addAccount (kAnn, kAnnPassword);
    const std::string wrong = logincrypto::encryptPassword ("guess", rig.get().getPublicKey());

    // A real difference shows in every round; a round that other work on a
    // busy machine has skewed does not fail the test alone.
    double knownCost = 0, unknownCost = 0;
    for (int round = 0; round < 3; ++round)
    {
        std::vector<double> known, unknown;
        for (int i = 0; i < 50; ++i)
            for (auto* times : { &known, &unknown })
            {
                const auto start = Clock::now();
                // Each round from an address of its own: 50 failures stay within the limit.
                const auto reply = listAs (rig, "127.0.0." + std::to_string (1 + round),
                                           times == &known ? kAnn : "nobody@example.org", wrong);
                times->push_back (secondsSince (start));
                EXPECT_EQ (textOf (reply), kWrong);
            }
        knownCost = median (known);
        unknownCost = median (unknown);
        if (std::abs (knownCost - unknownCost) < 0.25 * knownCost)
            break;
    }
    EXPECT_LT (std::abs (knownCost - unknownCost), 0.25 * knownCost) << knownCost << " s against " << unknownCost << " s";
}

TEST (PresetServerLogins, FullTablesForgetWhatMattersLeastAndRefuseNobody)
{
    const LoginClock::time_point t0 {};
    FailedLogins failures (10, 10min, 5min, 64, FailedLogins::kMaxAddressLimit);
    for (int i = 0; i < 9; ++i)
        failures.failed ("target", "addr", t0);
    failures.failed ("locked", "addr", t0);
    for (int i = 0; i < 10; ++i)
        failures.failed ("locked", "other", t0);
    // Far more names than the table holds, each failing once or twice: every
    // one is checked, and they give way to each other, not to the counts above.
    for (int i = 0; i < 1000; ++i)
    {
        const std::string name = "n" + std::to_string (i);
        for (int k = 0; k < 1 + i % 2; ++k)
        {
            ASSERT_TRUE (failures.begin (name, "addr", t0 + 1s)) << i;
            failures.failed (name, "addr", t0 + 1s);
        }
    }
    EXPECT_LE (failures.size(), 64u);
    EXPECT_LE (failures.bytes(), 2u * 64u * FailureCounts::kEntryBytes);
    EXPECT_TRUE (failures.isLocked ("locked", "other", t0 + 2s));
    EXPECT_TRUE (failures.begin ("target", "addr", t0 + 2s)); // the tenth
    failures.failed ("target", "addr", t0 + 2s);
    EXPECT_FALSE (failures.begin ("target", "addr", t0 + 3s));

    // Of equal counts the least recent gives way; expired entries all go first.
    FailedLogins order (5, 60s, 30s, 3, FailedLogins::kMaxAddressLimit);
    const auto fail = [&order] (const std::string& name, int times, LoginClock::time_point t) {
        for (int i = 0; i < times; ++i)
            order.failed (name, "addr", t);
    };
    fail ("old", 1, t0);
    fail ("two", 2, t0);
    fail ("newer", 1, t0 + 50s);
    fail ("x", 1, t0 + 55s); // pushes "old" out
    fail ("two", 3, t0 + 56s);
    fail ("newer", 4, t0 + 56s);
    fail ("old", 4, t0 + 56s); // pushes "x" out, the only unlocked one
    EXPECT_TRUE (order.isLocked ("two", "addr", t0 + 57s));
    EXPECT_TRUE (order.isLocked ("newer", "addr", t0 + 57s));
    EXPECT_FALSE (order.isLocked ("old", "addr", t0 + 57s)); // four, not five
    fail ("y", 1, t0 + 200s);
    EXPECT_EQ (order.size(), 1u);

    // A table of nothing but locked entries still lets a new key be checked.
    FailedLogins full (1, 10min, 5min, 4, FailedLogins::kMaxAddressLimit);
    for (int i = 0; i < 4; ++i)
        full.failed ("x" + std::to_string (i), "addr", t0);
    EXPECT_TRUE (full.begin ("new", "addr", t0 + 1s));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE (full.isLocked ("x" + std::to_string (i), "addr", t0 + 1s)) << i;

    // Logins begun count at once; one that holds takes its count back.
    FailedLogins pending (3, 10min, 5min);
    EXPECT_TRUE (pending.begin ("a", "addr", t0));
    EXPECT_TRUE (pending.begin ("a", "addr", t0));
    EXPECT_TRUE (pending.begin ("a", "addr", t0));
    EXPECT_FALSE (pending.begin ("a", "addr", t0));
    pending.succeeded ("a", "addr", t0);
    EXPECT_TRUE (pending.begin ("a", "addr", t0));

    // By default a table holds far more than the old fixed sixteen thousand.
    EXPECT_GE (FailedLogins::kTableBytes / FailureCounts::kEntryBytes, 100000u);
}

TEST (PresetServerLogins, NoTableSpaceLocksAnyoneOut)
{
    // As deployed, from many addresses: every failure is answered, and the
    // right password still logs in from addresses never seen.
    {
        Rig rig;
        rig.addAccount (kAnn, kAnnPassword);
        const int addresses = kSanitized ? 20 : 165;
        int wrong = 0;
        for (int a = 0; a < addresses; ++a)
            for (int i = 0; i < 100; ++i)
                wrong += textOf (listAs (rig, "127.0.1." + std::to_string (a), "n" + std::to_string (i) + "@example.org", ""))
                      == kWrong;
        EXPECT_EQ (wrong, addresses * 100);
        for (int a = 0; a < 4; ++a)
        {
            const auto reply = listFrom (rig, "127.0.2." + std::to_string (a), kAnn, kAnnPassword);
            ASSERT_NE (reply, nullptr);
            EXPECT_EQ (reply->type, (uint32_t) PRESET_LIST) << textOf (reply);
        }
    }

    // Small tables that a flood from other addresses fills over and over:
    // the target's count from its address is not forgotten.
    PresetServerOptions options;
    options.loginTableEntries = kSanitized ? 64 : 256;
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);
    const std::string wrong = logincrypto::encryptPassword ("guess", rig.get().getPublicKey());
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kWrong) << i;
    const int addresses = (int) options.loginTableEntries + 40;
    for (int a = 0; a < addresses; ++a)
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ (textOf (listAs (rig, "127.0.3." + std::to_string (a), "n" + std::to_string (i) + "@example.org", "")),
                       kWrong);
    EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kWrong); // the tenth
    EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kTooMany);
    EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kTooMany);
}

TEST (PresetServerLogins, ACoolDownShorterThanTheWindowLetsNoSecondRoundIn)
{
    std::atomic<int64_t> seconds { 0 };
    PresetServerOptions options;
    const auto start = LoginClock::now();
    options.clock = [&] { return start + std::chrono::seconds (seconds.load()); };
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);
    const std::string wrong = logincrypto::encryptPassword ("guess", rig.get().getPublicKey());

    seconds = 1;
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kWrong) << i;
    seconds = 303; // the cool-down is over, the window is not
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kTooMany) << i;
    EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, logincrypto::encryptPassword (kAnnPassword, rig.get().getPublicKey()))),
               kTooMany);

    // Once the failures have left the window (counted in tenths of it, so
    // up to a tenth later), the account answers from there again.
    seconds = 1 + 660 + 1;
    EXPECT_EQ (listFrom (rig, "127.0.0.2", kAnn, kAnnPassword)->type, (uint32_t) PRESET_LIST);
    EXPECT_EQ (textOf (listAs (rig, "127.0.0.2", kAnn, wrong)), kWrong);
}
