#include "PresetServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <chrono>
#include <ctime>
#include <random>
#include <string_view>
#include <thread>

#include "HttpFront.h"
#include <juce_core/juce_core.h>
#include <juce_cryptography/juce_cryptography.h>

#include "presets/Base64.h"
#include "presets/LoginCrypto.h"
#include "presets/RequestResponse.h"

namespace
{
const char* const kWrongLogin = "wrong e-mail or password";
const char* const kTooManyFailures = "too many failed logins, try again later";
const char* const kAccountFull = "this account holds as many presets as it may; delete one to upload another";

void putU32 (std::string& out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + (size_t) i] = (char) (uint8_t) (v >> (8 * i));
}

std::string reply (uint32_t type, const std::string& payload = {})
{
    std::string bytes (requestresponse::kHeaderSize, '\0');
    putU32 (bytes, 4, type);
    putU32 (bytes, 8, 1);
    putU32 (bytes, 12, (uint32_t) payload.size());
    bytes += payload;
    return base64::encode (bytes.data(), bytes.size());
}

std::string failed (const std::string& text) { return reply (REQUEST_FAILED, text); }

std::string recordBytes (const PresetMetaData& md)
{
    std::string bytes (presetmeta::kRecordSize, '\0');
    presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (bytes.data()));
    return bytes;
}

PresetMetaData recordAt (const std::vector<char>& bytes, size_t at)
{
    PresetMetaData md;
    presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (bytes.data() + at), md);
    return md;
}

bool readSmallFile (const std::string& path, std::string& text)
{
    const juce::File file (path);
    if (! file.existsAsFile() || file.getSize() > 16384)
        return false;
    text = file.loadFileAsString().trim().toStdString();
    return true;
}

// Written aside, owner-only from the start, then renamed into place.
bool writePrivateFile (const std::string& path, const std::string& text, std::string& error)
{
    const std::string temp = path + ".tmp";
    ::unlink (temp.c_str());
    const int fd = ::open (temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    if (ok)
    {
        ok = ::write (fd, text.data(), text.size()) == (ssize_t) text.size() && ::fsync (fd) == 0;
        ok = (::close (fd) == 0) && ok;
    }
    ok = ok && ::rename (temp.c_str(), path.c_str()) == 0;
    if (! ok)
    {
        error = "cannot write " + path + ": " + std::strerror (errno);
        ::unlink (temp.c_str());
    }
    return ok;
}

int hexValue (char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding with "+" for a space, keeping the first `most` bytes
// (whatever is longer is refused as too long by whoever reads it); false on
// a broken escape anywhere.
bool formDecode (std::string_view in, std::string& out, size_t most)
{
    out.clear();
    out.reserve (std::min (in.size(), most));
    for (size_t i = 0; i < in.size(); ++i)
    {
        char c = in[i];
        if (c == '+')
            c = ' ';
        else if (c == '%')
        {
            if (i + 2 >= in.size())
                return false;
            const int hi = hexValue (in[i + 1]), lo = hexValue (in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            c = (char) (hi * 16 + lo);
            i += 2;
        }
        if (out.size() < most)
            out += c;
    }
    return true;
}

// The protocol's form fields, and the most bytes kept of each: a value cut
// there is still longer than any the field may hold (an account name, an
// encrypted digest, a name searched for), so it is refused as before.
struct FormField
{
    const char* name;
    size_t most;
};
constexpr FormField kFormFields[] = { { "requestData", PresetServer::kMaxBodySize },
                                      { "email", FailedLogins::kMaxAccountBytes + 1 },
                                      { "password", 4096 },
                                      { "search", 4096 },
                                      { "version", 16 } };
// Longer names are none of those, and shorter ones fit in a string without
// allocating.
constexpr size_t kMostNameBytes = 15;

std::string_view mediaType (const std::string& contentType)
{
    std::string_view type (contentType);
    type = type.substr (0, type.find (';'));
    while (! type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix (1);
    while (! type.empty() && (type.front() == ' ' || type.front() == '\t'))
        type.remove_prefix (1);
    return type;
}

// No body is ever decoded: anything but identity is refused.
bool isPlainEncoding (const std::string& encoding)
{
    return encoding.empty() || juce::String (encoding).trim().equalsIgnoreCase ("identity");
}

// Only a plain form body is read: no multipart or other type.
bool isFormType (const std::string& contentType)
{
    const std::string_view type = mediaType (contentType);
    return type.empty() || juce::String (std::string (type)).equalsIgnoreCase ("application/x-www-form-urlencoded");
}

// The server's local time in the records' "%Y-%m-%d %H:%M:%S" form.
std::string recordTime (std::time_t t)
{
    std::tm local {};
    ::localtime_r (&t, &local);
    char text[32] = {};
    std::strftime (text, sizeof (text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Exactly "YYYY-MM-DD hh:mm:ss" naming a real day and time of day.
bool isRecordTime (std::string_view text)
{
    static constexpr const char* pattern = "dddd-dd-dd dd:dd:dd";
    if (text.size() != 19)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != pattern[i])
            return false;
    const auto number = [text] (size_t at, size_t digits) {
        int value = 0;
        for (size_t i = 0; i < digits; ++i)
            value = value * 10 + (text[at + i] - '0');
        return value;
    };
    const int year = number (0, 4), month = number (5, 2), day = number (8, 2);
    if (month < 1 || month > 12 || day < 1 || number (11, 2) > 23 || number (14, 2) > 59 || number (17, 2) > 59)
        return false;
    static constexpr int days[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The time an upload is stored with: what the client sent when that is a
// time no more than a day ahead of the server's clock, else the server's
// own. The text's byte order is its time order.
std::string ownedTime (std::string_view sent, std::time_t now)
{
    if (isRecordTime (sent) && sent <= recordTime (now + 24 * 60 * 60))
        return std::string (sent);
    return recordTime (now);
}

// A record as the server hands it on: texts re-terminated and zero-padded,
// reserved bytes zero, the server's own fields its own, public 0 or 1, and a
// version a program can have written.
void ownRecord (PresetMetaData& md, uint32_t latestVersion)
{
    const std::string name (md.getName()), author (md.getAuthor()), comments (md.getComments()),
        time (md.getLastModified());
    md.setName (name);
    md.setAuthor (author);
    md.setComments (comments);
    md.setLastModified (time);
    std::memset (md.reserved1, 0, sizeof (md.reserved1));
    std::memset (md.reserved2, 0, sizeof (md.reserved2));
    md.rating = 0.0;
    md.ratingCount = 0;
    md.listOffset = 0;
    md.listTotal = 0;
    md.isPublic = md.isPublic != 0 ? 1 : 0;
    if (md.version < 102 || md.version > std::max<uint32_t> (103, latestVersion))
        md.version = 103;
}
} // namespace

std::string PresetServerOptions::defaultDataFolder()
{
    const char* dataHome = std::getenv ("XDG_DATA_HOME");
    const juce::File base = dataHome != nullptr && juce::File::isAbsolutePath (dataHome)
        ? juce::File (dataHome)
        : juce::File::getSpecialLocation (juce::File::userHomeDirectory).getChildFile (".local/share");
    return base.getChildFile ("TalvoraXL/preset-server").getFullPathName().toStdString();
}

PresetServer::PresetServer (PresetServerOptions o)
    : options (std::move (o)),
      failedLogins (options.loginFailureLimit, options.loginFailureWindow, options.loginCooldown, options.loginTableEntries,
                    options.addressFailureLimit, options.addressFailureWindow),
      rememberedLogins (options.loginMemory)
{
    if (options.dataFolder.empty())
        options.dataFolder = PresetServerOptions::defaultDataFolder();
    if (options.advertiseHost.empty())
        options.advertiseHost = options.listenAddress;
}

PresetServer::~PresetServer()
{
    stop();
}

bool PresetServer::open (std::string& error)
{
    const juce::File folder = juce::File::isAbsolutePath (options.dataFolder)
        ? juce::File (options.dataFolder)
        : juce::File::getCurrentWorkingDirectory().getChildFile (options.dataFolder);
    options.dataFolder = folder.getFullPathName().toStdString();
    if (options.dataFolder.empty() || ! folder.createDirectory())
    {
        error = "cannot create the data folder " + options.dataFolder;
        return false;
    }
    ::chmod (options.dataFolder.c_str(), 0700);

    if (! loadOrCreateKeys (options.dataFolder, error))
        return false;
    if (! loginKey.load (privateKey))
    {
        error = "the private key in " + options.dataFolder + " is unusable";
        return false;
    }
    if (! database.open (folder.getChildFile ("presets.sqlite").getFullPathName().toStdString(), error))
        return false;

    // Records stored before the server owned their times and reserved bytes
    // are made what an upload would make them now. Not fatal: on a full disk
    // the server still serves, and it cleans every record it hands on anyway.
    const std::time_t now = std::time (nullptr);
    database.rewriteRecords ([this, now] (PresetMetaData& md) {
        const PresetMetaData before = md;
        md.setLastModified (ownedTime (md.getLastModified(), now));
        ownRecord (md, options.latestVersion);
        return std::memcmp (&before, &md, sizeof (md)) != 0;
    });
    return true;
}

bool PresetServer::loadOrCreateKeys (const std::string& folderPath, std::string& error)
{
    const juce::File folder (folderPath);
    const std::string publicPath = folder.getChildFile ("public_key.txt").getFullPathName().toStdString();
    const std::string privatePath = folder.getChildFile ("private_key.txt").getFullPathName().toStdString();
    const bool havePublic = juce::File (publicPath).exists(), havePrivate = juce::File (privatePath).exists();

    if (havePublic || havePrivate)
    {
        // Never replace a key that clients may already use.
        if (! readSmallFile (publicPath, publicKey) || ! readSmallFile (privatePath, privateKey)
            || ! logincrypto::isUsableKey (publicKey) || ! logincrypto::isUsableKey (privateKey))
        {
            error = "the key files in " + folderPath + " are missing or unusable; remove both to make a new pair";
            return false;
        }
        ::chmod (privatePath.c_str(), 0600);
        ::chmod (publicPath.c_str(), 0600);
        return true;
    }

    // The framework's own seeding is time-based; add entropy from the system.
    int seeds[16];
    std::random_device device;
    for (auto& s : seeds)
        s = (int) device();
    juce::RSAKey pub, priv;
    juce::RSAKey::createKeyPair (pub, priv, options.keyBits, seeds, 16);
    publicKey = pub.toString().toStdString();
    privateKey = priv.toString().toStdString();
    return writePrivateFile (privatePath, privateKey + "\n", error)
        && writePrivateFile (publicPath, publicKey + "\n", error);
}

bool PresetServer::addAccount (const std::string& email, const std::string& password, std::string& error)
{
    const bool printable = std::all_of (email.begin(), email.end(), [] (char c) { return (unsigned char) c > ' '; });
    if (email.empty() || email.size() > (size_t) presetmeta::kTextLength || ! printable)
    {
        error = "an e-mail address is 1 to 127 characters without spaces";
        return false;
    }
    if (password.empty())
    {
        error = "the password is empty";
        return false;
    }
    const std::string salt = servercrypto::randomBytes (servercrypto::kSaltSize);
    const std::string md5Hex = juce::MD5 (password.data(), password.size()).toHexString().toStdString();
    const std::string hash = servercrypto::storedHash (salt, md5Hex, options.passwordRounds);
    if (hash.empty() || ! database.putAccount (email, salt, hash))
    {
        error = "cannot store the account";
        return false;
    }
    return true;
}

const char* PresetServer::checkLogin (const std::map<std::string, std::string>& fields,
                                      const std::string& clientAddress, std::string& email)
{
    const auto emailField = fields.find ("email");
    const auto passwordField = fields.find ("password");
    if (emailField == fields.end() || passwordField == fields.end())
        return kWrongLogin;
    const std::string& account = emailField->second;
    const std::string& field = passwordField->second;
    // No account has a longer name: refused before any table, query or derivation.
    if (account.size() > FailedLogins::kMaxAccountBytes)
        return kWrongLogin;

    // Counted as failed from here on, so parallel guesses cannot all pass.
    const auto now = this->now();
    if (! failedLogins.begin (account, clientAddress, now))
        return kTooManyFailures;

    std::string salt, stored;
    const bool known = database.getAccount (account, salt, stored);
    const std::string remembered = RememberedLogins::keyOf (account, field);
    if (known && rememberedLogins.contains (remembered, salt, stored, now))
    {
        failedLogins.succeeded (account, clientAddress, now);
        email = account;
        return nullptr;
    }

    // A field longer than the key allows is refused before any arithmetic.
    const std::string md5Hex = loginKey.decryptPassword (field);
    std::string newSalt, newStored;
    bool holds = false;
    if (md5Hex.size() == 32)
    {
        // An unknown address costs the same derivation as a known one.
        if (known)
            holds = servercrypto::matches (salt, stored, md5Hex, options.passwordRounds, newSalt, newStored);
        else
            servercrypto::storedHash (std::string (servercrypto::kSaltSize, '\0'), md5Hex, options.passwordRounds);
    }
    if (! holds)
    {
        failedLogins.failed (account, clientAddress, now);
        return kWrongLogin;
    }

    failedLogins.succeeded (account, clientAddress, now);
    if (! newStored.empty() && database.replaceAccountHash (account, salt, stored, newSalt, newStored))
    {
        salt = newSalt;
        stored = newStored;
    }
    rememberedLogins.remember (remembered, salt, stored, now);
    email = account;
    return nullptr;
}

std::map<std::string, std::string> PresetServer::parseForm (const std::string& body)
{
    // Only the protocol's fields are kept, each once: a body of countless
    // other or repeated fields costs no more than its own bytes.
    std::map<std::string, std::string> fields;
    std::string name, value;
    for (size_t start = 0; start < body.size();)
    {
        const size_t end = std::min (body.find ('&', start), body.size());
        const std::string_view pair (body.data() + start, end - start);
        start = end + 1;
        if (pair.empty())
            continue;
        const size_t eq = pair.find ('=');
        if (! formDecode (pair.substr (0, eq), name, kMostNameBytes))
            return {};
        const auto known = std::find_if (std::begin (kFormFields), std::end (kFormFields),
                                         [&name] (const FormField& f) { return name == f.name; });
        const bool kept = known != std::end (kFormFields) && fields.count (name) == 0;
        if (! formDecode (eq == std::string_view::npos ? std::string_view() : pair.substr (eq + 1), value,
                          kept ? known->most : 0))
            return {};
        if (kept)
            fields.emplace (name, std::move (value));
    }
    return fields;
}

std::string PresetServer::answer (const std::map<std::string, std::string>& fields, const std::string& clientAddress)
{
    using namespace requestresponse;
    const auto data = fields.find ("requestData");
    if (data == fields.end())
        return failed ("malformed request");

    const std::vector<char> bytes = base64::decode (data->second);
    const auto request = requestResponseFromBuffer (bytes.data(), bytes.size());
    if (request == nullptr)
        return failed ("malformed request");

    const size_t recordOffset = kHeaderSize + (size_t) request->size;
    const bool hasRecord = bytes.size() >= recordOffset + presetmeta::kRecordSize;
    const bool payloadIsRecord = request->payload.size() >= presetmeta::kRecordSize;

    if (request->type == GET_META_DATA)
    {
        PresetMetaData latest;
        latest.version = options.latestVersion;
        return reply (META_DATA, recordBytes (latest));
    }

    const bool known = request->type == LIST_PRESETS || request->type == DOWNLOAD_PRESET
                    || request->type == UPLOAD_PRESET || request->type == DELETE_PRESET;
    if (! known)
        return failed ("unknown request");

    std::string email;
    if (const char* refusal = checkLogin (fields, clientAddress, email))
        return failed (refusal);

    switch (request->type)
    {
        case LIST_PRESETS:
        {
            if (! payloadIsRecord)
                return failed ("malformed request");
            const PresetMetaData query = recordAt (request->payload, 0);
            PresetDatabase::ListQuery q;
            q.viewer = email;
            const auto search = fields.find ("search");
            q.search = search != fields.end() ? search->second : std::string();
            q.categoryMask = query.categoryMask;
            q.offset = query.listOffset;
            q.limit = kPageSize;

            std::vector<PresetMetaData> page;
            uint32_t total = 0;
            if (! database.listPresets (q, page, total))
                return reply (SERVER_ERROR, "storage failed");

            std::string payload (4, '\0');
            putU32 (payload, 0, (uint32_t) page.size());
            for (size_t i = 0; i < page.size(); ++i)
            {
                PresetMetaData row = page[i];
                ownRecord (row, options.latestVersion);
                row.listOffset = i == 0 ? query.listOffset : 0;
                row.listTotal = i == 0 ? total : 0;
                payload += recordBytes (row);
            }
            return reply (PRESET_LIST, payload);
        }

        case DOWNLOAD_PRESET:
        {
            if (! payloadIsRecord)
                return failed ("malformed request");
            const PresetMetaData wanted = recordAt (request->payload, 0);
            std::vector<char> preset;
            if (! database.getPresetData (std::string (wanted.getAuthor()), std::string (wanted.getName()), email, preset))
                return failed ("preset not found");
            return reply (PRESET_DATA, std::string (preset.begin(), preset.end()));
        }

        case UPLOAD_PRESET:
        {
            if (! hasRecord)
                return failed ("malformed request");
            if (request->payload.size() != kPresetSize)
                return failed ("wrong preset size");

            // The author is whoever logged in, whatever the record says; the
            // time is one the server can stand behind.
            PresetMetaData stored = recordAt (bytes, recordOffset);
            stored.setAuthor (email);
            stored.setLastModified (ownedTime (stored.getLastModified(), std::time (nullptr)));
            ownRecord (stored, options.latestVersion);
            if (! stored.isComplete())
                return failed ("the preset needs a name and a time");
            switch (database.putPreset (stored, request->payload, options.accountPresetLimit))
            {
                case PresetDatabase::Put::stored: break;
                case PresetDatabase::Put::full: return failed (kAccountFull);
                case PresetDatabase::Put::failed: return reply (SERVER_ERROR, "storage failed");
            }
            return reply (REQUEST_OK);
        }

        case DELETE_PRESET:
        {
            if (! hasRecord)
                return failed ("malformed request");
            const PresetMetaData target = recordAt (bytes, recordOffset);
            if (! database.deletePreset (email, std::string (target.getName())))
                return reply (SERVER_ERROR, "storage failed");
            return reply (REQUEST_OK);
        }

        default:
            return failed ("unknown request");
    }
}

bool PresetServer::isValidHost (const std::string& host)
{
    return ! host.empty() && host.size() <= 253
        && std::all_of (host.begin(), host.end(), [] (char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
           });
}

std::optional<HttpReply> PresetServer::screen (const RequestHead& head)
{
    if (! isPlainEncoding (head.contentEncoding))
        return HttpReply { 415, failed ("malformed request"), true };
    if (head.method == "GET" || head.method == "HEAD")
    {
        if (head.path == "/server_address")
            return HttpReply { 200, options.advertiseHost + "\n" };
        if (head.path == "/public_key")
            return HttpReply { 200, publicKey };
    }
    if (head.method == "POST" && head.path == "/synth_request")
    {
        if (! isFormType (head.contentType))
            return HttpReply { 415, failed ("malformed request"), true };
        return std::nullopt;
    }
    return HttpReply { 404, {}, false };
}

HttpReply PresetServer::respond (const HttpRequest& request)
{
    // Whatever a request makes go wrong is answered without naming it.
    try
    {
        return { 200, answer (parseForm (request.body), request.head.peer) };
    }
    catch (const std::bad_alloc&)
    {
        return { 503, failed ("malformed request"), true };
    }
    catch (...)
    {
        return { 400, failed ("malformed request"), true };
    }
}

bool PresetServer::isQuick (const HttpRequest& request)
{
    // Only what needs neither the database nor a key derivation: the
    // metadata request. Small bodies only, so that looking costs next to nothing.
    if (request.body.size() > 8192)
        return false;
    const auto fields = parseForm (request.body);
    const auto data = fields.find ("requestData");
    if (data == fields.end())
        return false;
    const std::vector<char> bytes = base64::decode (data->second.substr (0, 16)); // the record's header
    return bytes.size() >= 8 && bytes[4] == (char) GET_META_DATA && bytes[5] == 0 && bytes[6] == 0 && bytes[7] == 0;
}

int PresetServer::start (std::string& error)
{
    if (http != nullptr)
        return port;

    ConnectionLimits limits = options.connections;
    limits.maxBodySize = kMaxBodySize;
    http = std::make_unique<HttpFront> (limits, *this);
    port = http->start (options.listenAddress, options.port, error);
    if (port <= 0)
    {
        http.reset();
        port = -1;
    }
    return port;
}

size_t PresetServer::heldBodyBytes() const noexcept
{
    return http != nullptr ? http->heldBytes() : 0;
}

int PresetServer::connectionLimit() const noexcept
{
    return http != nullptr ? http->connectionLimit() : 0;
}

void PresetServer::stop()
{
    if (http == nullptr)
        return;
    http->stop();
    http.reset();
    port = -1;
}
