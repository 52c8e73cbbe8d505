#include "PresetDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <sqlite3.h>

namespace
{
// A prepared statement that finalises itself.
class Statement
{
public:
    Statement (sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2 (db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize (stmt); }

    bool ok() const noexcept { return stmt != nullptr; }

    Statement& blob (int index, const void* data, size_t size)
    {
        // A zero-length blob must still be a blob, not NULL.
        static const char empty = 0;
        sqlite3_bind_blob64 (stmt, index, size > 0 ? data : &empty, (sqlite3_uint64) size, SQLITE_TRANSIENT);
        return *this;
    }
    Statement& blob (int index, const std::string& text) { return blob (index, text.data(), text.size()); }
    Statement& text (int index, const std::string& value)
    {
        sqlite3_bind_text (stmt, index, value.data(), (int) value.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& integer (int index, int64_t value)
    {
        sqlite3_bind_int64 (stmt, index, value);
        return *this;
    }

    int step() { return sqlite3_step (stmt); }
    void reset() { sqlite3_reset (stmt); }

    std::string columnBlob (int column)
    {
        const void* data = sqlite3_column_blob (stmt, column);
        const int size = sqlite3_column_bytes (stmt, column);
        return data != nullptr && size > 0 ? std::string (static_cast<const char*> (data), (size_t) size) : std::string();
    }
    int64_t columnInt (int column) { return sqlite3_column_int64 (stmt, column); }

private:
    sqlite3_stmt* stmt = nullptr;
};

// The search ignores ASCII case only: other bytes are compared as they stand.
std::string foldAscii (std::string_view text)
{
    std::string folded (text);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    return folded;
}

// The trigram index reads characters, not bytes: each byte of a folded name
// becomes one character (a byte from 0x80 up as that Latin-1 code point), so
// a byte sequence is in a name exactly when its characters are.
std::string searchText (std::string_view bytes)
{
    std::string text;
    text.reserve (bytes.size() * 2);
    for (const char c : bytes)
    {
        const auto b = (unsigned char) c;
        if (b < 0x80)
            text += c;
        else
        {
            text += (char) (0xc0 | (b >> 6));
            text += (char) (0x80 | (b & 0x3f));
        }
    }
    return text;
}

void searchTextFunction (sqlite3_context* context, int, sqlite3_value** args)
{
    const void* data = sqlite3_value_blob (args[0]);
    const int size = sqlite3_value_bytes (args[0]);
    const std::string text = searchText (data != nullptr ? std::string_view (static_cast<const char*> (data), (size_t) size)
                                                         : std::string_view());
    sqlite3_result_text (context, text.data(), (int) text.size(), SQLITE_TRANSIENT);
}

// A category's tag in the search table: three characters, one trigram, that
// no neighbouring tag can form.
std::string categoryTag (int bit)
{
    const int number = bit + 1;
    return { 'c', (char) ('0' + number / 10), (char) ('0' + number % 10) };
}

// What the search table's tags column holds for a row: "pub" when public,
// and a tag for each category bit.
void searchTagsFunction (sqlite3_context* context, int, sqlite3_value** args)
{
    std::string tags = sqlite3_value_int64 (args[0]) != 0 ? "pub" : "-";
    const auto mask = (uint64_t) sqlite3_value_int64 (args[1]);
    for (int bit = 0; bit < 32; ++bit)
        if ((mask >> bit) & 1)
            tags += " " + categoryTag (bit);
    sqlite3_result_text (context, tags.data(), (int) tags.size(), SQLITE_TRANSIENT);
}

// The search as one quoted phrase: the trigram index matches it anywhere in a name.
std::string phraseOf (std::string_view folded)
{
    std::string phrase = "folded : \"";
    for (const char c : searchText (folded))
        phrase += c == '"' ? std::string ("\"\"") : std::string (1, c);
    return phrase + "\"";
}

// The phrase among public presets of any of the categories (0: all).
std::string publicPhraseOf (std::string_view folded, uint32_t categoryMask)
{
    std::string query = phraseOf (folded) + " AND tags : \"pub\"";
    if (categoryMask == 0)
        return query;
    std::string any;
    for (int bit = 0; bit < 32; ++bit)
        if ((categoryMask >> bit) & 1)
            any += (any.empty() ? "" : " OR ") + std::string ("tags : \"") + categoryTag (bit) + "\"";
    return query + " AND (" + any + ")";
}

// A file without these is from before them; they are built from its rows.
constexpr int kSchemaVersion = 1;

std::string searchSchema()
{
    // What a row adds to the search table and the counts, and takes away.
    const std::string added =
        " INSERT INTO preset_search (rowid, folded, tags)"
        "  VALUES (new.rowid, search_text (new.folded_name), search_tags (new.is_public, new.category_mask));"
        " INSERT INTO preset_counts VALUES (new.is_public != 0, CASE WHEN new.is_public != 0 THEN x'' ELSE new.author END,"
        "  new.category_mask, 1) ON CONFLICT DO UPDATE SET n = n + 1;";
    const std::string removed =
        " DELETE FROM preset_search WHERE rowid = old.rowid;"
        " UPDATE preset_counts SET n = n - 1 WHERE is_public = (old.is_public != 0)"
        "  AND owner = CASE WHEN old.is_public != 0 THEN x'' ELSE old.author END AND category_mask = old.category_mask;";
    return
        // The list's order with what its filter reads, so a page is a walk.
        "CREATE INDEX IF NOT EXISTS presets_list ON presets"
        " (last_modified DESC, author, name, is_public, category_mask, folded_name);"
        // An account's own presets with what its private ones are counted by.
        "CREATE INDEX IF NOT EXISTS presets_owner ON presets (author, is_public, category_mask, folded_name);"
        // Presets per category, public ones together and private ones per
        // owner: a total without a search adds up a few rows.
        "CREATE TABLE IF NOT EXISTS preset_counts ("
        " is_public INTEGER NOT NULL, owner BLOB NOT NULL, category_mask INTEGER NOT NULL, n INTEGER NOT NULL,"
        " PRIMARY KEY (is_public, owner, category_mask)) WITHOUT ROWID;"
        // The folded names by trigram, and the public flag and categories as
        // tags: a search's total among public presets needs no row read.
        "CREATE VIRTUAL TABLE IF NOT EXISTS preset_search USING fts5 (folded, tags,"
        " tokenize = 'trigram case_sensitive 1');"
        "CREATE TRIGGER IF NOT EXISTS presets_added AFTER INSERT ON presets BEGIN" + added + " END;"
        "CREATE TRIGGER IF NOT EXISTS presets_removed AFTER DELETE ON presets BEGIN" + removed + " END;"
        "CREATE TRIGGER IF NOT EXISTS presets_changed AFTER UPDATE ON presets BEGIN" + removed + added + " END;"
        "DELETE FROM preset_search;"
        "DELETE FROM preset_counts;"
        "INSERT INTO preset_search (rowid, folded, tags)"
        " SELECT rowid, search_text (folded_name), search_tags (is_public, category_mask) FROM presets;"
        "INSERT INTO preset_counts SELECT is_public != 0, CASE WHEN is_public != 0 THEN x'' ELSE author END,"
        " category_mask, count(*) FROM presets GROUP BY 1, 2, 3;"
        "INSERT INTO preset_search (preset_search) VALUES ('optimize');"
        "PRAGMA user_version = " + std::to_string (kSchemaVersion) + ";";
}

std::string recordBytes (const PresetMetaData& md)
{
    std::string bytes (presetmeta::kRecordSize, '\0');
    presetmeta::toBytes (md, reinterpret_cast<uint8_t*> (bytes.data()));
    return bytes;
}
} // namespace

PresetDatabase::~PresetDatabase()
{
    close();
}

bool PresetDatabase::open (const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db != nullptr)
        return true;

    // The file holds password hashes: create it owner-only before SQLite
    // does with the default mode; its journals take the same mode.
    const int fd = ::open (path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::fchmod (fd, 0600) != 0)
    {
        error = "cannot create " + path + ": " + std::strerror (errno);
        if (fd >= 0)
            ::close (fd);
        return false;
    }
    ::close (fd);

    if (sqlite3_open_v2 (path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    {
        error = "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg (db) : "out of memory");
        sqlite3_close (db);
        db = nullptr;
        return false;
    }
    sqlite3_busy_timeout (db, 5000);
    // The search table's triggers need these on every connection that writes.
    const int pure = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    sqlite3_create_function (db, "search_text", 1, pure, nullptr, searchTextFunction, nullptr, nullptr);
    sqlite3_create_function (db, "search_tags", 2, pure, nullptr, searchTagsFunction, nullptr, nullptr);

    // WAL: one sync per commit keeps every stored preset across a crash
    // without the rollback journal's several. Text columns are blobs: names
    // are bytes, compared and ordered bytewise like the plug-in's table.
    const bool ready = exec ("PRAGMA journal_mode = WAL") && exec ("PRAGMA synchronous = FULL")
        && exec ("CREATE TABLE IF NOT EXISTS accounts ("
                 " email BLOB PRIMARY KEY NOT NULL,"
                 " salt BLOB NOT NULL,"
                 " hash BLOB NOT NULL)")
        && exec ("CREATE TABLE IF NOT EXISTS presets ("
                 " author BLOB NOT NULL,"
                 " name BLOB NOT NULL,"
                 " folded_name BLOB NOT NULL,"
                 " is_public INTEGER NOT NULL,"
                 " category_mask INTEGER NOT NULL,"
                 " last_modified BLOB NOT NULL,"
                 " record BLOB NOT NULL,"
                 " data BLOB NOT NULL,"
                 " PRIMARY KEY (author, name))")
        && prepareSearch();
    if (! ready)
    {
        error = std::string ("cannot prepare ") + path + ": " + sqlite3_errmsg (db);
        sqlite3_close (db);
        db = nullptr;
        return false;
    }
    return true;
}

void PresetDatabase::close()
{
    std::lock_guard<std::mutex> guard (lock);
    sqlite3_close (db);
    db = nullptr;
}

bool PresetDatabase::exec (const char* sql)
{
    return sqlite3_exec (db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool PresetDatabase::prepareSearch()
{
    {
        Statement version (db, "PRAGMA user_version");
        if (! version.ok() || version.step() != SQLITE_ROW)
            return false;
        if (version.columnInt (0) >= kSchemaVersion)
            return true;
    }
    // All or nothing: an interrupted build leaves the file as it was.
    if (! exec ("BEGIN IMMEDIATE"))
        return false;
    if (exec (searchSchema().c_str()) && exec ("COMMIT"))
        return true;
    exec ("ROLLBACK");
    return false;
}

bool PresetDatabase::putAccount (const std::string& email, const std::string& salt, const std::string& hash)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "INSERT OR REPLACE INTO accounts (email, salt, hash) VALUES (?1, ?2, ?3)");
    return st.ok() && st.blob (1, email).blob (2, salt).blob (3, hash).step() == SQLITE_DONE;
}

bool PresetDatabase::replaceAccountHash (const std::string& email, const std::string& oldSalt,
                                         const std::string& oldHash, const std::string& salt, const std::string& hash)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "UPDATE accounts SET salt = ?4, hash = ?5 WHERE email = ?1 AND salt = ?2 AND hash = ?3");
    return st.ok() && st.blob (1, email).blob (2, oldSalt).blob (3, oldHash).blob (4, salt).blob (5, hash).step() == SQLITE_DONE
        && sqlite3_changes (db) == 1;
}

bool PresetDatabase::getAccount (const std::string& email, std::string& salt, std::string& hash)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "SELECT salt, hash FROM accounts WHERE email = ?1");
    if (! st.ok() || st.blob (1, email).step() != SQLITE_ROW)
        return false;
    salt = st.columnBlob (0);
    hash = st.columnBlob (1);
    return true;
}

PresetDatabase::Put PresetDatabase::putPreset (const PresetMetaData& record, const std::vector<char>& data,
                                               uint32_t authorLimit)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return Put::failed;
    const std::string author (record.getAuthor()), name (record.getName());
    if (authorLimit > 0)
    {
        // Under the lock, so two uploads cannot both take the last place.
        Statement held (db, "SELECT count(*), coalesce (max (name = ?2), 0) FROM presets WHERE author = ?1");
        if (! held.ok() || held.blob (1, author).blob (2, name).step() != SQLITE_ROW)
            return Put::failed;
        if (held.columnInt (1) == 0 && held.columnInt (0) >= authorLimit)
            return Put::full;
    }
    // An update in place keeps the row, so the triggers see one change.
    Statement st (db, "INSERT INTO presets"
                      " (author, name, folded_name, is_public, category_mask, last_modified, record, data)"
                      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) ON CONFLICT (author, name) DO UPDATE SET"
                      " folded_name = excluded.folded_name, is_public = excluded.is_public,"
                      " category_mask = excluded.category_mask, last_modified = excluded.last_modified,"
                      " record = excluded.record, data = excluded.data");
    const bool stored = st.ok()
        && st.blob (1, author)
               .blob (2, name)
               .blob (3, foldAscii (name))
               .integer (4, record.isPublic != 0 ? 1 : 0)
               .integer (5, record.categoryMask)
               .blob (6, std::string (record.getLastModified()))
               .blob (7, recordBytes (record))
               .blob (8, data.data(), data.size())
               .step() == SQLITE_DONE;
    return stored ? Put::stored : Put::failed;
}

bool PresetDatabase::getPresetData (const std::string& author, const std::string& name, const std::string& viewer,
                                    std::vector<char>& data)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "SELECT data FROM presets WHERE author = ?1 AND name = ?2 AND (is_public != 0 OR author = ?3)");
    if (! st.ok() || st.blob (1, author).blob (2, name).blob (3, viewer).step() != SQLITE_ROW)
        return false;
    const std::string bytes = st.columnBlob (0);
    data.assign (bytes.begin(), bytes.end());
    return true;
}

bool PresetDatabase::deletePreset (const std::string& author, const std::string& name)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "DELETE FROM presets WHERE author = ?1 AND name = ?2");
    return st.ok() && st.blob (1, author).blob (2, name).step() == SQLITE_DONE;
}

bool PresetDatabase::listPresets (const ListQuery& query, std::vector<PresetMetaData>& page, uint32_t& total)
{
    // ?1 viewer, ?2 category mask, ?3 folded search, ?4 and ?5 search
    // phrases, ?6 and ?7 the page. instr() on two blobs matches bytes, so the folded
    // search finds any byte sequence in the folded name. A search of three
    // bytes or more is counted by the trigram index; shorter ones (and a NUL,
    // which no name holds) by the list index.
    static constexpr const char* visible =
        " (is_public != 0 OR author = ?1) AND (?2 = 0 OR (category_mask & ?2) != 0)";
    static constexpr const char* matching = " AND instr(folded_name, ?3) > 0";
    static constexpr const char* order = " ORDER BY last_modified DESC, author ASC, name ASC LIMIT ?6 OFFSET ?7";
    static constexpr const char* countAll =
        "SELECT (SELECT coalesce (sum (n), 0) FROM preset_counts WHERE is_public = 1"
        "        AND (?2 = 0 OR (category_mask & ?2) != 0))"
        "     + (SELECT coalesce (sum (n), 0) FROM preset_counts WHERE is_public = 0 AND owner = ?1"
        "        AND (?2 = 0 OR (category_mask & ?2) != 0))";
    // Matches of the phrase at all, those public in the categories, the
    // viewer's own private ones, and about how many presets are stored.
    static constexpr const char* countSearched =
        "SELECT (SELECT count(*) FROM preset_search WHERE preset_search MATCH ?4),"
        "       (SELECT count(*) FROM preset_search WHERE preset_search MATCH ?5),"
        "       (SELECT count(*) FROM presets WHERE author = ?1 AND is_public = 0"
        "        AND (?2 = 0 OR (category_mask & ?2) != 0) AND instr(folded_name, ?3) > 0),"
        "       (SELECT coalesce (max (rowid), 0) FROM presets)";

    std::lock_guard<std::mutex> guard (lock);
    page.clear();
    total = 0;
    if (db == nullptr)
        return false;

    const std::string search = foldAscii (query.search);
    const bool indexed = search.size() >= 3 && search.find ('\0') == std::string::npos;
    const auto bind = [&] (Statement& st) -> Statement& {
        st.blob (1, query.viewer).integer (2, query.categoryMask);
        if (! search.empty())
            st.blob (3, search);
        if (indexed)
            st.text (4, phraseOf (search)).text (5, publicPhraseOf (search, query.categoryMask));
        return st.integer (6, query.limit).integer (7, query.offset);
    };

    // Newest first, then author, then name: the order of the presets table
    // (every stored record is complete). Walking the list index in that order
    // finds a page of a common search at once; a rare one is quicker sorted
    // from its matches, read by row.
    const std::string walk = std::string ("SELECT record FROM presets INDEXED BY presets_list WHERE") + visible
                           + (search.empty() ? "" : matching) + order;
    const std::string sorted = std::string ("SELECT record FROM presets WHERE rowid IN (SELECT rowid FROM presets"
                                            " WHERE rowid IN (SELECT rowid FROM preset_search WHERE preset_search MATCH ?4)"
                                            " AND") + visible + matching + order + ")"
                             + " ORDER BY last_modified DESC, author ASC, name ASC";
    bool sortMatches = false;
    if (indexed)
    {
        Statement count (db, countSearched);
        if (! count.ok() || bind (count).step() != SQLITE_ROW)
            return false;
        const double phraseMatches = (double) count.columnInt (0), stored = (double) count.columnInt (3);
        total = (uint32_t) (count.columnInt (1) + count.columnInt (2));
        if (total == 0)
            return true;
        // Index entries walked against rows read (each costing about ten).
        sortMatches = ((double) query.offset + query.limit) * stored / total > 10.0 * phraseMatches;
    }
    else
    {
        Statement count (db, search.empty() ? countAll : (std::string ("SELECT count(*) FROM presets WHERE") + visible + matching).c_str());
        if (! count.ok() || bind (count).step() != SQLITE_ROW)
            return false;
        total = (uint32_t) count.columnInt (0);
    }

    Statement rows (db, (sortMatches ? sorted : walk).c_str());
    if (! rows.ok())
        return false;
    bind (rows);
    int result;
    while ((result = rows.step()) == SQLITE_ROW)
    {
        const std::string bytes = rows.columnBlob (0);
        if (bytes.size() != presetmeta::kRecordSize)
            continue;
        PresetMetaData md;
        presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (bytes.data()), md);
        page.push_back (md);
    }
    return result == SQLITE_DONE;
}

bool PresetDatabase::rewriteRecords (const std::function<bool (PresetMetaData&)>& change)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;

    struct Changed
    {
        std::string author, name;
        PresetMetaData record;
    };
    std::vector<Changed> changed;
    {
        Statement rows (db, "SELECT author, name, record FROM presets");
        if (! rows.ok())
            return false;
        int result;
        while ((result = rows.step()) == SQLITE_ROW)
        {
            const std::string bytes = rows.columnBlob (2);
            if (bytes.size() != presetmeta::kRecordSize)
                continue;
            Changed row { rows.columnBlob (0), rows.columnBlob (1), {} };
            presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (bytes.data()), row.record);
            if (change (row.record))
                changed.push_back (std::move (row));
        }
        if (result != SQLITE_DONE)
            return false;
    }
    if (changed.empty())
        return true;

    if (! exec ("BEGIN IMMEDIATE"))
        return false;
    for (const auto& row : changed)
    {
        Statement st (db, "UPDATE presets SET record = ?1, last_modified = ?2, is_public = ?3 WHERE author = ?4 AND name = ?5");
        if (! st.ok()
            || st.blob (1, recordBytes (row.record))
                       .blob (2, std::string (row.record.getLastModified()))
                       .integer (3, row.record.isPublic != 0 ? 1 : 0)
                       .blob (4, row.author)
                       .blob (5, row.name)
                       .step() != SQLITE_DONE)
        {
            exec ("ROLLBACK");
            return false;
        }
    }
    return exec ("COMMIT");
}
