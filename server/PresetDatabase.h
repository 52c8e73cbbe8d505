#pragma once

// The preset server's storage: accounts and presets in one SQLite file.
// One connection serves every request thread, one at a time behind a mutex;
// every value reaches SQL as a bound parameter, never as statement text.
//
// Lists stay fast as the store grows: an index in list order, per-category
// counts of public presets and a trigram index of the folded names, all kept
// by triggers and built from the rows when a file from before them is opened.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "presets/PresetMetaData.h"

struct sqlite3;

class PresetDatabase
{
public:
    PresetDatabase() = default;
    ~PresetDatabase();

    // Opens (creating if needed, readable by the owner only) and prepares the
    // tables. False with a reason when the file cannot be used.
    bool open (const std::string& path, std::string& error);
    void close();

    // Stores the salted hash of a password digest; replaces an existing account.
    bool putAccount (const std::string& email, const std::string& salt, const std::string& hash);
    // Rewrites the stored form only while the account still holds the old
    // one, so a password reset made meanwhile (by another process) stands.
    bool replaceAccountHash (const std::string& email, const std::string& oldSalt, const std::string& oldHash,
                             const std::string& salt, const std::string& hash);
    // False when there is no such account.
    bool getAccount (const std::string& email, std::string& salt, std::string& hash);

    enum class Put { stored, full, failed };
    // Inserts or replaces the preset (author, name) of the record. A new name
    // is refused (full) when its author already holds authorLimit presets;
    // 0 sets no limit.
    Put putPreset (const PresetMetaData& record, const std::vector<char>& data, uint32_t authorLimit = 0);

    // The data of the preset (author, name) when it is public or the viewer's own.
    bool getPresetData (const std::string& author, const std::string& name, const std::string& viewer,
                        std::vector<char>& data);

    // Removes the viewer's own preset of that name; true also when there was none.
    bool deletePreset (const std::string& author, const std::string& name);

    struct ListQuery
    {
        std::string viewer;       // sees public presets and their own
        std::string search;       // contained in the name, ASCII case ignored; empty = all
        uint32_t categoryMask = 0; // any of these bits; 0 = all
        uint32_t offset = 0;
        uint32_t limit = 40;
    };

    // One page of matching records in the presets table's order, and the
    // number of all matches. False on a storage failure.
    bool listPresets (const ListQuery& query, std::vector<PresetMetaData>& page, uint32_t& total);

    // Hands every stored record to change(); those it changed are stored
    // back (the record, its time and public flag), all in one transaction.
    bool rewriteRecords (const std::function<bool (PresetMetaData&)>& change);

private:
    bool exec (const char* sql);
    bool prepareSearch();

    sqlite3* db = nullptr;
    std::mutex lock;
};
