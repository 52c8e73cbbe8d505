#pragma once

// What the presets page does, without its components: the table's rows, the
// server status, the one worker thread, the actions behind the buttons and
// the background sync of presets saved or deleted while offline. The page
// calls poll() at the end of every paint; tests call it directly.
//
// Message thread only. A worker runs alone and is read only once it has
// stopped; the controller deletes finished workers itself and hands a running
// one to the processor when it goes.

#include <JuceHeader.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "presets/LocalPresetStore.h"
#include "presets/PresetMetaData.h"

class BrevonAudioProcessor;
class PresetsPageThread;

class PresetsPageController
{
public:
    // One table row: the record, whether it came from the server's list and
    // whether the preset is also in the local folder.
    struct RowData
    {
        PresetMetaData record;
        uint8_t online = 0;
        uint8_t local = 0;
        uint8_t spare[6] = {};
    };

    // A row as the table keeps it: with the file the local listing found the
    // preset in, which its loads and deletes act on (none for a server row:
    // it uses the file its record names).
    struct Row : RowData
    {
        Row() = default;
        Row (const RowData& data) : RowData (data) {} // a row with no file
        juce::File file;
    };

    // What the controller reads from and tells the page.
    class View
    {
    public:
        virtual ~View() = default;
        virtual juce::String getNameText() = 0;
        virtual juce::String getCommentsText() = 0;
        virtual juce::String getEmailText() = 0;
        virtual juce::String getSearchText() = 0;
        virtual int getSearchCategoryIndex() = 0; // 0 all, k category bit k-1
        virtual bool getPublicState() = 0;
        // held: stays until the next message; otherwise it fades.
        virtual void showStatus (const juce::String& text, bool held) = 0;
        // What went wrong, as a worker or the server put it: shown at once,
        // even over the page's opening text, and held for kErrorHoldMs.
        virtual void showError (const juce::String& text) { showStatus (text, false); }
        // A download's program texts and public flag (the boxes notify).
        virtual void showLoadedPreset (const juce::String& name, const juce::String& comments) = 0;
        virtual void setPublicState (bool on) = 0;
        // The rows were replaced: the table re-reads them.
        virtual void rowsChanged() {}
        // The table's selection goes (the page then reports row -1).
        virtual void clearSelection() {}
        // Mode, paging or load-button state may have changed.
        virtual void controlsChanged() {}
        virtual void latestVersionChanged() {}
    };

    enum Mode
    {
        unknown = 0,
        online = 1,
        localOnly = 2
    };

    static constexpr uint32_t kPageSize = 40;
    static constexpr double kSyncSpacingMs = 1000.0;
    static constexpr double kErrorHoldMs = 3000.0;

    // Starts the server address lookup.
    PresetsPageController (BrevonAudioProcessor& processor, View& view);
    // Stops a running worker: waits for it up to 100 ms, then hands it to the
    // processor whether it stopped or not.
    ~PresetsPageController();

    // The server status poll: acts on a finished worker or starts the next
    // piece of work. Never blocks.
    void poll();

    // Actions.
    void refreshPresetList (bool quiet);
    void onLoadPresetButton();
    void save();
    void deleteSelected();
    void nextPage();
    void previousPage();
    void updateSearchData();
    void selectedRowsChanged (int row);

    // Rules.
    bool shouldFilterPreset (const PresetMetaData& md);
    bool localPresetsOK() const;
    bool isLoadEnabled() const;
    bool isDeleteEnabled (const juce::String& email) const;
    bool isPreviousEnabled() const { return listTotal != 0 && listStart != 0; }
    bool isNextEnabled() const { return listTotal != 0 && listTotal - listStart > rows.size(); }
    bool isSearchEnabled() const { return mode != unknown; }
    bool hasWorker() const { return thread != nullptr; }
    PresetsPageThread* getWorker() const { return thread.get(); }

    // Texts.
    static juce::String displayText (std::string_view bytes); // UTF-8, or 8-bit when not valid UTF-8
    static juce::String categoryText (uint32_t mask);
    static juce::String authorText (const PresetMetaData& md);
    static juce::String lastModifiedText (const PresetMetaData& md);
    static juce::String versionText();
    // "update available, ..." when the server knows a newer release, else empty.
    static juce::String versionNotice (uint32_t latest);
    static const std::vector<std::string>& categoryNames(); // "no category", "bass", ...

    // The process-wide newest release the server reported; 0 until then.
    static std::atomic<uint32_t> latestVersionOnServer;

    int mode = unknown;
    bool refreshWanted = true, scanWanted = false, metaDataWanted = false;
    std::vector<Row> rows;
    std::vector<LocalPresetStore::Entry> pending;
    int selectedRow = -1;
    uint32_t listStart = 0, listTotal = 0, searchCategoryMask = 0;

private:
    // What the running save/delete worker was started for, so that its
    // REQUEST_OK clears the right markers.
    enum class Upload
    {
        none,
        onlineSave,
        onlineDelete,
        syncSave,
        syncDelete
    };

    void handleFinishedWorker();
    // After a paging press: the list for the new offset is wanted.
    void pageMoved();
    // A server list's rows into the table; silent: without the outcome text.
    void showListed (const std::vector<PresetMetaData>& presets, bool silent);
    void showText (const juce::String& text);
    void startWorker (PresetsPageThread* worker);
    void startSaveDelete (bool remove, const PresetMetaData& md, const juce::File& file, juce::MemoryBlock state,
                          Upload why);
    void applyLoadedData (const void* data, size_t size, const PresetMetaData& wanted);
    void rebuildPending();
    void syncStep();
    // A sync step for this file cannot finish: says so, naming the preset, and
    // leaves the file out of the sync until the page is opened again, so that
    // it is not tried without end and the rest goes on.
    void leaveOutOfSync (const juce::File& file, const PresetMetaData& md, const juce::String& why);
    // Another file of the folder holds the entry's preset and is not marked
    // deleted; linkedHere: one of them is a link to the entry's file.
    bool hasUnmarkedCopy (const LocalPresetStore::Entry& entry, bool& linkedHere);
    // The row's own file, or the record's file for a row with none.
    juce::File fileOfRow (const Row& row) const;
    bool rowInRange() const { return selectedRow >= 0 && selectedRow < (int) rows.size(); }

    BrevonAudioProcessor& processor;
    View& view;
    std::unique_ptr<PresetsPageThread> thread;
    Upload upload = Upload::none;
    PresetMetaData uploadRecord;
    juce::File uploadFile; // the local file whose markers its REQUEST_OK clears
    bool localMarked = false; // this run's local file carries the markers
    bool syncChangedServer = false; // a sync step reached the server since the last list
    juce::StringArray leftOut; // paths of files the sync passes over while the page is open
    // Why the local copy of a local-only row did not load; said instead of
    // the server's word should the download fail too.
    juce::String localLoadFailure;
    // A list that follows an online save or delete says nothing on success:
    // that action's word stays the last. Kept across a step back from an empty page.
    bool followUpSilently = false, listSilently = false;
    // A page press came while the running list was out.
    bool listSuperseded = false;

    JUCE_DECLARE_NON_COPYABLE (PresetsPageController)
};

static_assert (sizeof (PresetsPageController::RowData) == 1784, "row size");
