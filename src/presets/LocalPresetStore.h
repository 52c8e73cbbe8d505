#pragma once

// The local preset folder: one file per preset (the 1776-byte metadata record
// followed by the program state, no header) and two empty marker files that
// tell the sync what the server still has to hear of:
//   name.TalvoraXLPreset.needsync       upload pending (or server delete, with the next one)
//   name.TalvoraXLPreset.markeddelete   deleted here, server delete pending; hidden from the list
//
// A preset is never lost: every write goes into a hidden file of the same
// folder, is synced and checked, and only then renamed over the old file;
// its markers are made before that rename and taken back if it fails, and a
// delete only adds markers, so the file keeps its sound. Different presets can
// map to one file name, so loads check the stored author and name, a write
// never replaces a file that holds another preset, and a download never one
// that holds an edit the server has not seen.
//
// Files are opened only when they are regular files, and never read past what
// is asked for: a FIFO, a device or a directory named as a preset can neither
// block the caller nor be taken for a preset. Markers count only when they are
// regular files too; anything else of that name is left alone. A write that
// reports failure has changed nothing in the folder.
//
// Everything except the two path operations does nothing while local saving
// is switched off. Message thread only: nothing here is locked.

#include <juce_core/juce_core.h>

#include <functional>
#include <vector>

#include "presets/PresetMetaData.h"

class LocalPresetStore
{
public:
    static constexpr size_t kStateSize = 23758;  // the program record, as getStateInformation gives it
    static constexpr size_t kFileSize = presetmeta::kRecordSize + kStateSize;

    static constexpr const char* kExtension = ".TalvoraXLPreset";
    static constexpr const char* kListPattern = "*.TalvoraXLPreset;*.talvoraxlpreset";
    static constexpr const char* kNeedSyncSuffix = ".needsync";
    static constexpr const char* kMarkedDeleteSuffix = ".markeddelete";
    // Name parts of the hidden file a write goes into before the rename.
    static constexpr const char* kTemporaryPrefix = ".presetsave_";
    static constexpr const char* kTemporarySuffix = ".tmp";

    // One preset file as the listing found it. Users copy and rename preset
    // files, so the file is what a row loads and deletes, not the record's name.
    struct Entry
    {
        PresetMetaData record;  // an empty time is filled from the file's time
        juce::File file;
        juce::Time modified;
        bool needSync = false, markedDelete = false;
        // A marker's name is taken by something that is not a file (a
        // directory, say): the sync could never record its outcome.
        bool oddMarker = false;
    };

    // Texts of a delete mark that did not happen.
    static constexpr const char* kFileGoneText = "local preset file not found";
    static constexpr const char* kUnreadableText = "local preset file unreadable";

    // isEnabled: the local-saving switch, asked on every call.
    // readState: appends the current state to the block.
    // folder: where the presets live; made on first use.
    LocalPresetStore (std::function<bool()> isEnabled,
                      std::function<void (juce::MemoryBlock&)> readState,
                      juce::File folder);
    virtual ~LocalPresetStore() = default;

    // "presetcache" beside the settings file.
    static juce::File defaultFolder();

    // The folder's full path, made if needed; empty when it cannot be made.
    juce::String getLocalPresetsPath() const;

    // The record's preset file, always a direct child of the folder. False
    // (file untouched) when there is no folder or the name cannot be a file name.
    bool metaDataToFile (const PresetMetaData* md, juce::File& file) const;

    // Writes the record, stamped with the current time, and the current state.
    // needSync marks it for upload and clears a pending delete. False when
    // nothing was written: the folder is then as it was (a marker that could
    // not be set or removed, a directory of that name say, is found out
    // first). No write replaces a file that holds another preset (another
    // stored author or name; refusal, when given, gets a text for the user
    // that names that preset), and a copy from the server (needSync false)
    // never replaces a file that waits for sync.
    bool savePresetToDisc (PresetMetaData* md, bool needSync, juce::String* refusal = nullptr);

    // Stamps md. markOnly: hides the file with both markers for a later
    // server delete and leaves its bytes alone; refused (refusal says why)
    // when the file is gone, unreadable or holds another preset. Otherwise
    // removes the file if it holds this preset (markers stay). False when
    // that did not happen.
    bool deletePresetFromDisc (PresetMetaData* md, bool markOnly, juce::String* refusal = nullptr);

    // Removes both markers; the preset file stays. False if one remains, or
    // when the file holds another preset (whose markers are left alone).
    bool removeNeedSync (const PresetMetaData& md);

    // Appends the stored state to state. False, state untouched, unless the
    // file holds exactly this preset (author and name) with a full state and
    // is not older than the record's time (to the minute; a time before 1971
    // or an empty one is not checked).
    bool loadPresetFromDiscToMemoryBlock (const PresetMetaData& md, juce::MemoryBlock& state) const;

    // The records of all visible presets, in directory order. Reads only the
    // head of each file; hidden files, short files and presets marked for
    // delete are left out. An empty time is filled from the file's time.
    // Temporaries that interrupted writes left (older than a minute) go first.
    std::vector<PresetMetaData> getLocalPresets() const;

    // The one listing of the folder, which everything that walks it uses:
    // what getLocalPresets gives, and with withMarkedDeleted also the hidden
    // presets waiting for a server delete.
    std::vector<Entry> listFolder (bool withMarkedDeleted) const;

    // The same operations on a file the listing gave, whatever its name. The
    // file must be a preset file directly in the folder holding md's preset
    // (author and name); its own markers are the ones used.
    bool loadPresetFile (const juce::File& file, const PresetMetaData& md, juce::MemoryBlock& state) const;
    bool deletePresetFile (const juce::File& file, PresetMetaData* md, bool markOnly, juce::String* refusal = nullptr);
    bool removeNeedSync (const juce::File& file, const PresetMetaData& md);
    // Both markers beside the file, which still holds md's preset.
    bool isMarkedDeleted (const juce::File& file, const PresetMetaData& md) const;

    // "%Y-%m-%d %H:%M:%S" local time.
    static juce::String formatTime (juce::Time t);
    // Sets the record's last-modified time to now.
    static void stamp (PresetMetaData& md);
    // A record's text field: UTF-8, or an old 8-bit text when it is not.
    static juce::String recordText (std::string_view bytes);
    // The author as lists show it: the address up to its "@".
    static juce::String authorShown (const PresetMetaData& md);

    // The record's time to the minute, in ms since 1970; 0 before 1971 or unreadable.
    static juce::int64 recordTime (const PresetMetaData& md);

    // Seam for tests: asked before each change a write makes to the folder
    // (the temporary file, each marker made or removed, the rename, a
    // removal) with the file it changes; false fails that step before it
    // changes anything, as a full disc would.
    std::function<bool (const juce::File&)> mayChangeFile;

protected:
    // Seams for tests. Moves bytes into the temporary file; the store checks
    // the stream's status and the file's size afterwards all the same.
    virtual bool writeBytes (juce::FileOutputStream& out, const void* data, size_t size);
    // Called with the complete, closed temporary file, before its markers
    // change and it is renamed over the target.
    virtual void beforeReplace (const juce::File& temporary);

private:
    bool enabled() const;
    juce::File fileFor (const PresetMetaData& md) const;
    bool isPresetFileHere (const juce::File& file) const;
    bool allowed (const juce::File& changed) const;
    bool makeMarker (const juce::File& marker, bool& made) const;
    bool removeMarker (const juce::File& marker, bool& removed) const;
    bool writeTemporary (const juce::File& target, const PresetMetaData& md, juce::File& temporary);
    bool mayReplace (const juce::File& target, const PresetMetaData& md, bool needSync, juce::String* refusal) const;
    bool writePreset (const juce::File& target, const PresetMetaData& md, bool needSync, juce::String* refusal);
    bool markDeleted (const juce::File& file, const PresetMetaData& md, juce::String* refusal);
    void removeStaleTemporaries (const juce::File& dir) const;

    std::function<bool()> isEnabled;
    std::function<void (juce::MemoryBlock&)> readState;
    juce::File folder;

    JUCE_DECLARE_NON_COPYABLE (LocalPresetStore)
};
