#include "ServerRig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <random>

#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

namespace serverrig
{
double secondsSince (Clock::time_point start)
{
    return std::chrono::duration<double> (Clock::now() - start).count();
}

bool allowManyFiles (size_t count)
{
    rlimit files {};
    if (::getrlimit (RLIMIT_NOFILE, &files) != 0)
        return false;
    if (files.rlim_cur < count && files.rlim_cur < files.rlim_max)
    {
        files.rlim_cur = std::min<rlim_t> (files.rlim_max, count);
        ::setrlimit (RLIMIT_NOFILE, &files);
        ::getrlimit (RLIMIT_NOFILE, &files);
    }
    return files.rlim_cur >= count;
}

size_t residentBytes()
{
    std::ifstream statm ("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (size_t) ::sysconf (_SC_PAGESIZE);
}

RawConnection::RawConnection (int port, const char* source)
{
    fd = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from {}, address {};
    from.sin_family = address.sin_family = AF_INET;
    ::inet_pton (AF_INET, source, &from.sin_addr);
    address.sin_port = htons ((uint16_t) port);
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    connected = fd >= 0 && ::bind (fd, reinterpret_cast<sockaddr*> (&from), sizeof (from)) == 0
             && ::connect (fd, reinterpret_cast<sockaddr*> (&address), sizeof (address)) == 0;
}

RawConnection::~RawConnection()
{
    if (fd >= 0)
        ::close (fd);
}

bool RawConnection::send (const std::string& bytes)
{
    return ::send (fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t) bytes.size();
}

std::string RawConnection::receive (const std::string& until, int timeoutMs, bool* closed)
{
    std::string text;
    const auto end = Clock::now() + std::chrono::milliseconds (timeoutMs);
    if (closed != nullptr)
        *closed = false;
    while (until.empty() || text.find (until) == std::string::npos)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (end - Clock::now()).count();
        pollfd p { fd, POLLIN, 0 };
        if (left <= 0 || ::poll (&p, 1, (int) left) <= 0)
            break;
        char chunk[4096];
        const ssize_t n = ::recv (fd, chunk, sizeof (chunk), 0);
        if (n <= 0)
        {
            if (closed != nullptr)
                *closed = true;
            break;
        }
        text.append (chunk, (size_t) n);
    }
    return text;
}

std::string RawConnection::receiveReply (int timeoutMs, bool* closed)
{
    const auto end = Clock::now() + std::chrono::milliseconds (timeoutMs);
    if (closed != nullptr)
        *closed = false;
    for (;;)
    {
        const size_t headEnd = pending.find ("\r\n\r\n");
        if (headEnd != std::string::npos)
        {
            const juce::String head (pending.substr (0, headEnd));
            const auto lengthAt = head.indexOfIgnoreCase ("\r\nContent-Length:");
            const size_t length = lengthAt < 0 ? 0 : (size_t) head.substring (lengthAt + 17).getLargeIntValue();
            if (pending.size() >= headEnd + 4 + length)
            {
                const std::string reply = pending.substr (0, headEnd + 4 + length);
                pending.erase (0, reply.size());
                return reply;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (end - Clock::now()).count();
        pollfd p { fd, POLLIN, 0 };
        if (left <= 0 || ::poll (&p, 1, (int) left) <= 0)
            return {};
        char chunk[65536];
        const ssize_t n = ::recv (fd, chunk, sizeof (chunk), 0);
        if (n <= 0)
        {
            if (closed != nullptr)
                *closed = true;
            return {};
        }
        pending.append (chunk, (size_t) n);
    }
}

Trickler::Trickler (int port, const char* source, int count)
{
    for (int i = 0; i < count; ++i)
        connections.push_back (std::make_unique<RawConnection> (port, source));
    sender = std::thread ([this] {
        const std::string request = metaDataRequest();
        for (size_t sent = 0; ! done && sent < request.size(); ++sent)
        {
            for (auto& c : connections)
                c->send (request.substr (sent, 1));
            for (int wait = 0; wait < 50 && ! done; ++wait)
                std::this_thread::sleep_for (std::chrono::milliseconds (10));
        }
    });
}

Trickler::~Trickler()
{
    done = true;
    sender.join();
}

std::string formEncode (const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text)
        if (std::isalnum (c))
            out += (char) c;
        else
            out += { '%', hex[c >> 4], hex[c & 15] };
    return out;
}

std::string postHead (const std::string& path, size_t length, const std::string& extraHeaders)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         + extraHeaders + "Content-Length: " + std::to_string (length) + "\r\n\r\n";
}

std::string metaDataBody()
{
    const std::vector<char> blank (presetmeta::kRecordSize, 0);
    const auto request = requestresponse::buildRequest (GET_META_DATA, blank.data(), (int) blank.size(), nullptr);
    return "requestData=" + formEncode (base64::encode (request.data(), request.size())) + "&email=&password=&version=1.3";
}

std::string metaDataRequest (const std::string& extraHeaders)
{
    const std::string body = metaDataBody();
    return postHead ("/synth_request", body.size(), extraHeaders) + body;
}

uint32_t replyType (const std::string& response)
{
    const size_t bodyAt = response.find ("\r\n\r\n");
    if (bodyAt == std::string::npos)
        return 0;
    const auto bytes = base64::decode (response.substr (bodyAt + 4));
    const auto reply = requestResponseFromBuffer (bytes.data(), bytes.size());
    return reply != nullptr ? reply->type : 0;
}

int closedPort()
{
    juce::StreamingSocket s;
    s.createListener (0, "127.0.0.1");
    const int port = s.getBoundPort();
    s.close();
    return port;
}

std::vector<char> presetBytes (uint32_t seed, size_t count)
{
    std::mt19937 rng (seed);
    std::vector<char> bytes (count);
    for (auto& b : bytes)
        b = (char) (rng() & 0xff);
    return bytes;
}

PresetMetaData record (const std::string& name, const std::string& time, bool isPublic, uint32_t mask)
{
    PresetMetaData md = presetmeta::newRecord();
    md.setName (name);
    md.setAuthor ("whoever@example.org"); // the server puts the login here
    md.setComments ("a comment");
    md.setLastModified (time);
    md.isPublic = isPublic ? 1 : 0;
    md.categoryMask = mask;
    return md;
}

std::string Reply::text() const
{
    return message != nullptr ? std::string (message->payload.begin(), message->payload.end()) : std::string();
}

std::vector<PresetMetaData> Reply::presets() const
{
    std::vector<PresetMetaData> rows;
    if (message == nullptr || message->type != PRESET_LIST || message->payload.size() < 4)
        return rows;
    const auto* p = reinterpret_cast<const uint8_t*> (message->payload.data());
    const uint32_t count = (uint32_t) p[0] | ((uint32_t) p[1] << 8) | ((uint32_t) p[2] << 16) | ((uint32_t) p[3] << 24);
    EXPECT_EQ (message->payload.size(), 4 + count * presetmeta::kRecordSize);
    for (uint32_t i = 0; i < count && 4 + (i + 1) * presetmeta::kRecordSize <= message->payload.size(); ++i)
    {
        PresetMetaData md;
        presetmeta::fromBytes (p + 4 + i * presetmeta::kRecordSize, md);
        rows.push_back (md);
    }
    return rows;
}

Rig::Rig (PresetServerOptions o, Hashing hashing) : options (std::move (o))
{
    // A client still writing a body that the server refused from its headers
    // gets an error, not the end of the test program.
    std::signal (SIGPIPE, SIG_IGN);
    if (hashing == Hashing::fast)
        options.passwordRounds = 1000;
    // Test processes run side by side: a name only this rig can pick.
    dataFolder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                     .getChildFile ("talvora-server-" + juce::Uuid().toDashedString());
    options.listenAddress = "127.0.0.1";
    options.port = 0;
    options.keyBits = 512;
    options.dataFolder = dataFolder.getFullPathName().toStdString();
    restart();
}

Rig::~Rig()
{
    server.reset();
    dataFolder.deleteRecursively();
}

void Rig::restart()
{
    server.reset();
    server = std::make_unique<PresetServer> (options);
    std::string error;
    if (! server->open (error))
        ADD_FAILURE() << error;
    if (server->start (error) <= 0)
        ADD_FAILURE() << error;
}

void Rig::addAccount (const std::string& email, const std::string& password)
{
    std::string error;
    ASSERT_TRUE (server->addAccount (email, password, error)) << error;
}

Reply Rig::toReply (const httplib::Result& result)
{
    Reply reply;
    if (! result)
        return reply;
    reply.status = result->status;
    const std::vector<char> bytes = base64::decode (result->body);
    reply.message = requestResponseFromBuffer (bytes.data(), bytes.size());
    return reply;
}

Reply Rig::postFields (const httplib::Params& fields)
{
    httplib::Client client ("127.0.0.1", port());
    return toReply (client.Post ("/synth_request", fields));
}

Reply Rig::postBody (const std::string& body)
{
    httplib::Client client ("127.0.0.1", port());
    return toReply (client.Post ("/synth_request", body, "application/x-www-form-urlencoded"));
}

Reply Rig::send (int type, const std::vector<char>& data, const PresetMetaData* md,
                 const std::string& email, const std::string& password, const std::string& search)
{
    const std::vector<char> request = requestresponse::buildRequest (type, data.data(), (int) data.size(), md);
    EXPECT_FALSE (request.empty());
    httplib::Params fields { { "requestData", base64::encode (request.data(), request.size()) },
                             { "email", email },
                             { "password", logincrypto::encryptPassword (password, server->getPublicKey()) },
                             { "version", "1.3" } };
    if (type == LIST_PRESETS)
        fields.emplace ("search", search);
    return postFields (fields);
}

Reply Rig::upload (const std::string& email, const std::string& password, const PresetMetaData& md,
                   const std::vector<char>& data)
{
    return send (UPLOAD_PRESET, data, &md, email, password);
}

Reply Rig::list (const std::string& email, const std::string& password, uint32_t offset, uint32_t mask,
                 const std::string& search)
{
    PresetMetaData query;
    query.listOffset = offset;
    query.categoryMask = mask;
    return send (LIST_PRESETS, {}, &query, email, password, search);
}

Reply Rig::download (const std::string& email, const std::string& password, const PresetMetaData& md)
{
    return send (DOWNLOAD_PRESET, {}, &md, email, password);
}
} // namespace serverrig
