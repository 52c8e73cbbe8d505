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
    Statement& integer (int index, int64_t value)
    {
        sqlite3_bind_int64 (stmt, index, value);
        return *this;
    }

    int step() { return sqlite3_step (stmt); }

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
                 " PRIMARY KEY (author, name))");
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

bool PresetDatabase::putPreset (const PresetMetaData& record, const std::vector<char>& data)
{
    std::lock_guard<std::mutex> guard (lock);
    if (db == nullptr)
        return false;
    Statement st (db, "INSERT OR REPLACE INTO presets"
                      " (author, name, folded_name, is_public, category_mask, last_modified, record, data)"
                      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    const std::string name (record.getName());
    return st.ok()
        && st.blob (1, std::string (record.getAuthor()))
               .blob (2, name)
               .blob (3, foldAscii (name))
               .integer (4, record.isPublic != 0 ? 1 : 0)
               .integer (5, record.categoryMask)
               .blob (6, std::string (record.getLastModified()))
               .blob (7, recordBytes (record))
               .blob (8, data.data(), data.size())
               .step() == SQLITE_DONE;
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
    // Same filter for the count and the page. instr() on two blobs matches
    // bytes, so the folded search finds any byte sequence in the folded name.
    static constexpr const char* filter =
        " FROM presets WHERE (is_public != 0 OR author = ?1)"
        " AND (?2 = 0 OR (category_mask & ?2) != 0)"
        " AND (length(?3) = 0 OR instr(folded_name, ?3) > 0)";

    std::lock_guard<std::mutex> guard (lock);
    page.clear();
    total = 0;
    if (db == nullptr)
        return false;

    const std::string search = foldAscii (query.search);
    Statement count (db, (std::string ("SELECT count(*)") + filter).c_str());
    if (! count.ok() || count.blob (1, query.viewer).integer (2, query.categoryMask).blob (3, search).step() != SQLITE_ROW)
        return false;
    total = (uint32_t) count.columnInt (0);

    // Newest first, then author, then name: the order of the presets table
    // (every stored record is complete).
    Statement rows (db, (std::string ("SELECT record") + filter
                         + " ORDER BY last_modified DESC, author ASC, name ASC LIMIT ?4 OFFSET ?5").c_str());
    if (! rows.ok())
        return false;
    rows.blob (1, query.viewer).integer (2, query.categoryMask).blob (3, search)
        .integer (4, query.limit).integer (5, query.offset);

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
