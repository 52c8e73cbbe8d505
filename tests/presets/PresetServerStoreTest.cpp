// The preset server's store: its indexed search lists exactly what a plain
// scan of the presets table lists, on a file written before the indexes
// existed and after every kind of change; and one account cannot hold more
// than its share of presets.

#include <gtest/gtest.h>

#include <random>
#include <sqlite3.h>

#include "PresetDatabase.h"
#include "ServerRig.h"

using namespace serverrig;

namespace
{
const std::string kAnn = "ann@example.org", kAnnPassword = "ann's secret";
const std::string kBob = "bob@example.org", kBobPassword = "hunter2";

struct Listed
{
    uint32_t total = 0;
    std::vector<std::pair<std::string, std::string>> rows; // author, name

    bool operator== (const Listed& o) const { return total == o.total && rows == o.rows; }
};

std::ostream& operator<< (std::ostream& out, const Listed& l)
{
    out << l.total << " [";
    for (const auto& [author, name] : l.rows)
        out << author << "/" << name << "; ";
    return out << "]";
}

std::string folded (std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    return text;
}

// A store file as the server wrote it before it kept any index, read and
// written with the statements it used then: what a list must keep answering.
class PlainStore
{
public:
    explicit PlainStore (const std::string& path)
    {
        EXPECT_EQ (sqlite3_open (path.c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout (db, 5000);
    }
    ~PlainStore() { sqlite3_close (db); }

    void create()
    {
        ASSERT_EQ (sqlite3_exec (db, "PRAGMA journal_mode = WAL;"
                                     "CREATE TABLE accounts (email BLOB PRIMARY KEY NOT NULL, salt BLOB NOT NULL,"
                                     " hash BLOB NOT NULL);"
                                     "CREATE TABLE presets (author BLOB NOT NULL, name BLOB NOT NULL,"
                                     " folded_name BLOB NOT NULL, is_public INTEGER NOT NULL,"
                                     " category_mask INTEGER NOT NULL, last_modified BLOB NOT NULL,"
                                     " record BLOB NOT NULL, data BLOB NOT NULL, PRIMARY KEY (author, name))",
                                 nullptr, nullptr, nullptr),
                   SQLITE_OK);
    }

    void put (const PresetMetaData& md)
    {
        std::string bytes (presetmeta::kRecordSize, '\0');
        presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (bytes.data()));
        sqlite3_stmt* st = prepare ("INSERT OR REPLACE INTO presets VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, x'00')");
        const std::string name (md.getName());
        bind (st, 1, std::string (md.getAuthor()));
        bind (st, 2, name);
        bind (st, 3, folded (name));
        sqlite3_bind_int (st, 4, md.isPublic);
        sqlite3_bind_int64 (st, 5, md.categoryMask);
        bind (st, 6, std::string (md.getLastModified()));
        bind (st, 7, bytes);
        EXPECT_EQ (sqlite3_step (st), SQLITE_DONE);
        sqlite3_finalize (st);
    }

    Listed list (const PresetDatabase::ListQuery& q)
    {
        static const std::string filter = " FROM presets WHERE (is_public != 0 OR author = ?1)"
                                          " AND (?2 = 0 OR (category_mask & ?2) != 0)"
                                          " AND (length(?3) = 0 OR instr(folded_name, ?3) > 0)";
        Listed listed;
        const std::string search = folded (q.search);
        sqlite3_stmt* count = prepare (("SELECT count(*)" + filter).c_str());
        bindQuery (count, q, search);
        EXPECT_EQ (sqlite3_step (count), SQLITE_ROW);
        listed.total = (uint32_t) sqlite3_column_int64 (count, 0);
        sqlite3_finalize (count);

        sqlite3_stmt* rows = prepare (("SELECT author, name" + filter
                                       + " ORDER BY last_modified DESC, author ASC, name ASC LIMIT ?4 OFFSET ?5").c_str());
        bindQuery (rows, q, search);
        sqlite3_bind_int64 (rows, 4, q.limit);
        sqlite3_bind_int64 (rows, 5, q.offset);
        while (sqlite3_step (rows) == SQLITE_ROW)
            listed.rows.emplace_back (column (rows, 0), column (rows, 1));
        sqlite3_finalize (rows);
        return listed;
    }

private:
    sqlite3_stmt* prepare (const char* sql)
    {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ (sqlite3_prepare_v2 (db, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg (db);
        return st;
    }
    static void bind (sqlite3_stmt* st, int index, const std::string& bytes)
    {
        static const char empty = 0;
        sqlite3_bind_blob (st, index, bytes.empty() ? &empty : bytes.data(), (int) bytes.size(), SQLITE_TRANSIENT);
    }
    static void bindQuery (sqlite3_stmt* st, const PresetDatabase::ListQuery& q, const std::string& search)
    {
        bind (st, 1, q.viewer);
        sqlite3_bind_int64 (st, 2, q.categoryMask);
        bind (st, 3, search);
    }
    static std::string column (sqlite3_stmt* st, int i)
    {
        const void* data = sqlite3_column_blob (st, i);
        return data != nullptr ? std::string ((const char*) data, (size_t) sqlite3_column_bytes (st, i)) : std::string();
    }

    sqlite3* db = nullptr;
};

Listed listOf (PresetDatabase& db, const PresetDatabase::ListQuery& q)
{
    std::vector<PresetMetaData> page;
    Listed listed;
    EXPECT_TRUE (db.listPresets (q, page, listed.total));
    for (const auto& md : page)
        listed.rows.emplace_back (std::string (md.getAuthor()), std::string (md.getName()));
    return listed;
}

// Names that try every way a trigram search could part from a byte search:
// case, bytes from 0x80 up (valid UTF-8, stray and cut-off sequences),
// the search syntax's own characters and words, repeats and spaces.
std::vector<std::string> awkwardNames()
{
    return { "Warm Pad", "warm pad", "WARM PAD 2", "Bass", "Brass Section", "bass bass bass", "Glassy",
             "Caf\xc3\xa9 Keys", "CAF\xc3\x89 KEYS", "caf\xe9 latin", "\xc9T\xc9 upper latin", "half \xc3", "stray \xa9\xa9 bytes",
             "\xff\xfe\xfd", "\xe2\x82\xac Euro", "say \"hi\"", "\"\"quoted\"\"", "star*", "pad* NEAR/2 lead",
             "a AND b", "x OR y", "NOT this", "(paren)", "col:on", "-minus", "^caret", "aaaa", "aaa", "aa",
             "a", "tab\there", "  two  spaces  ", std::string (127, 'z'), "MiXeD CaSe", "mixed case", "ab%_cd",
             "back\\slash", "semi;colon", "'single'" };
}

std::vector<std::string> searches()
{
    return { "", "a", "A", "aa", "aaa", "aaaa", "aaaaa", "warm", "WARM PAD", "arm p", "bass", "ass", "BASS BASS",
             "s b", " ", "  ", "caf\xc3\xa9", "CAF\xc3\xa9", "caf\xc3\x89", "\xc3\xa9", "\xc3", "\xa9\xa9", "\xa9",
             "caf\xe9", "\xe9t\xe9", "\xc9t\xc9", "\xff\xfe", "\xe2\x82\xac", "\x82\xac E", "\"hi\"", "\"", "\"\"q", "star*", "*", "NEAR",
             "near/2", "and", "AND b", "or y", "not", "(paren", "col:", ":on", "-min", "^c", "%_", "\\s", ";c",
             "'s", "zzz", std::string (127, 'z'), std::string (128, 'z'), std::string ("a\0a", 3),
             std::string ("pa\0d", 4), "no such thing", "ab%", "tab\th" };
}

PresetMetaData storeRecord (const std::string& author, const std::string& name, std::mt19937& random)
{
    PresetMetaData md = presetmeta::newRecord();
    md.setAuthor (author);
    md.setName (name);
    // Few distinct times, so author and name decide many places.
    md.setLastModified ("2024-01-0" + std::to_string (1 + random() % 3) + " 10:00:00");
    md.isPublic = random() % 4 != 0 ? 1 : 0;
    md.categoryMask = random() % 5 == 0 ? (1u << 31) : (1u << (random() % 4));
    return md;
}
} // namespace

TEST (PresetServerStore, IndexedSearchListsWhatAScanListed)
{
    const juce::TemporaryFile file (".sqlite");
    const std::string path = file.getFile().getFullPathName().toStdString();
    std::mt19937 random (7);
    const std::vector<std::string> authors { kAnn, kBob, "c@example.org" };
    {
        PlainStore plain (path);
        plain.create();
        for (const auto& author : authors)
            for (const auto& name : awkwardNames())
                plain.put (storeRecord (author, name, random));
        for (int i = 0; i < 60; ++i)
            plain.put (storeRecord (authors[(size_t) i % 3], "Preset " + std::to_string (i) + (i % 2 ? " Bass" : " pad"), random));
    }

    const auto compareAll = [&] (PresetDatabase& db, const char* when) {
        PlainStore plain (path);
        int compared = 0;
        // Fewer combinations where sanitizers make each query slow.
        const std::vector<std::string> viewers = kSanitized ? std::vector<std::string> { kAnn }
                                                            : std::vector<std::string> { kAnn, std::string() };
        const std::vector<uint32_t> masks = kSanitized ? std::vector<uint32_t> { 0, 6 }
                                                       : std::vector<uint32_t> { 0, 1, 6, 1u << 31 };
        for (const auto& viewer : viewers)
            for (const uint32_t mask : masks)
                for (const auto& search : searches())
                    for (const uint32_t offset : { 0u, 4u, 500u })
                    {
                        PresetDatabase::ListQuery q;
                        q.viewer = viewer;
                        q.search = search;
                        q.categoryMask = mask;
                        q.offset = offset;
                        q.limit = 7;
                        const Listed expected = plain.list (q);
                        ASSERT_EQ (listOf (db, q), expected)
                            << when << ": \"" << search << "\" viewer " << viewer << " mask " << mask << " offset " << offset;
                        compared += expected.total > 0;
                    }
        EXPECT_GT (compared, (int) (viewers.size() * masks.size() * searches().size())) << when; // most find something
    };

    // The old file is opened (and indexed) by the new code.
    PresetDatabase db;
    std::string error;
    ASSERT_TRUE (db.open (path, error)) << error;
    compareAll (db, "opened");

    // Replaced with another public flag and category, added, deleted, rewritten.
    for (const auto& name : awkwardNames())
    {
        PresetMetaData md = storeRecord (kAnn, name, random);
        md.isPublic = ! md.isPublic;
        ASSERT_EQ (db.putPreset (md, { 'x' }), PresetDatabase::Put::stored);
    }
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ (db.putPreset (storeRecord (kBob, "New Glass " + std::to_string (i), random), { 'x' }),
                   PresetDatabase::Put::stored);
    for (int i = 0; i < 60; i += 3)
        ASSERT_TRUE (db.deletePreset (kAnn, "Preset " + std::to_string (i) + (i % 2 ? " Bass" : " pad")));
    ASSERT_TRUE (db.deletePreset (kBob, "Bass"));
    ASSERT_TRUE (db.rewriteRecords ([] (PresetMetaData& md) {
        if (md.getAuthor() != "c@example.org")
            return false;
        md.isPublic = ! md.isPublic;
        md.setLastModified ("2024-02-01 10:00:00");
        return true;
    }));
    compareAll (db, "changed");

    // Opened again: the indexes are there and stay right.
    db.close();
    ASSERT_TRUE (db.open (path, error)) << error;
    compareAll (db, "reopened");
}

TEST (PresetServerStore, AnAccountHoldsAtMostItsLimitButMayReplaceWhatItHas)
{
    PresetServerOptions options;
    options.accountPresetLimit = 3;
    Rig rig (options);
    rig.addAccount (kAnn, kAnnPassword);
    rig.addAccount (kBob, kBobPassword);
    const std::string full = "this account holds as many presets as it may; delete one to upload another";

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record ("P" + std::to_string (i), "2024-01-01 10:00:00"), presetBytes (1)).type(),
                   (uint32_t) REQUEST_OK);
    const Reply refused = rig.upload (kAnn, kAnnPassword, record ("P3", "2024-01-01 10:00:00"), presetBytes (2));
    EXPECT_EQ (refused.type(), (uint32_t) REQUEST_FAILED);
    EXPECT_EQ (refused.text(), full);

    // Replacing one it holds still works, and another account is not affected.
    EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record ("P1", "2024-01-02 10:00:00", false, 2), presetBytes (3)).type(),
               (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.upload (kBob, kBobPassword, record ("P3", "2024-01-01 10:00:00"), presetBytes (4)).type(),
               (uint32_t) REQUEST_OK);
    const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
    ASSERT_EQ (rows.size(), 4u);
    EXPECT_EQ (rows.front().getName(), "P1");
    EXPECT_EQ (rig.download (kAnn, kAnnPassword, rows.front()).message->payload, presetBytes (3));

    // A deletion makes room again.
    PresetMetaData gone = record ("P0", "2024-01-01 10:00:00");
    EXPECT_EQ (rig.send (DELETE_PRESET, {}, &gone, kAnn, kAnnPassword).type(), (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record ("P3", "2024-01-01 10:00:00"), presetBytes (2)).type(),
               (uint32_t) REQUEST_OK);
    EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record ("P4", "2024-01-01 10:00:00"), presetBytes (2)).text(), full);
}
