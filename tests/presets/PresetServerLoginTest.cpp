// Logins at the preset server: guessing is cut short per account and client
// address, stored passwords are slow to guess and old ones are upgraded,
// verified logins are remembered until the password changes, and the
// server's decryption agrees with the plug-in's encryption.

#include <gtest/gtest.h>

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

// A list request as the plug-in sends it, answered as if from that address.
std::unique_ptr<RequestResponse> listFrom (Rig& rig, const std::string& address, const std::string& email,
                                           const std::string& password)
{
    PresetMetaData query;
    const auto request = requestresponse::buildRequest (LIST_PRESETS, nullptr, 0, &query);
    const std::string reply = rig.get().answer (
        { { "requestData", base64::encode (request.data(), request.size()) },
          { "email", email },
          { "password", logincrypto::encryptPassword (password, rig.get().getPublicKey()) },
          { "search", "" } },
        address);
    const auto bytes = base64::decode (reply);
    return requestResponseFromBuffer (bytes.data(), bytes.size());
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

    std::this_thread::sleep_until (lockedAt + options.loginCooldown + 50ms);
    EXPECT_EQ (rig.list (kAnn, kAnnPassword, 0).type(), (uint32_t) PRESET_LIST);
    EXPECT_EQ (rig.list (kAnn, "one more guess", 0).text(), kWrong); // counting starts afresh
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
    EXPECT_FALSE (failures.isLocked ("a", "addr", t0 + 110s));
    failures.failed ("a", "addr", t0 + 110s);
    EXPECT_FALSE (failures.isLocked ("a", "addr", t0 + 110s));
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
