#include "ServerRig.h"

#include <gtest/gtest.h>

#include <random>

#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

namespace serverrig
{
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
