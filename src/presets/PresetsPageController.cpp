#include "presets/PresetsPageController.h"

#include <algorithm>
#include <utility>

#include "core/PluginProcessor.h"
#include "core/UserPresentException.h"
#include "presets/GetMetaDataThread.h"
#include "presets/ListPresetThread.h"
#include "presets/LoadPresetThread.h"
#include "presets/LocalPresetStore.h"
#include "presets/SaveDeletePresetThread.h"
#include "presets/UpdateServerIpThread.h"

std::atomic<uint32_t> PresetsPageController::latestVersionOnServer { 0 };

namespace
{
// Monotonic time of the last sync step of the process; unset until the first.
double lastSyncMs = -1.0;

double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

bool isPlaceholderName (const juce::String& name)
{
    return name.isEmpty() || name == "preset name" || name == "insert preset name here";
}

uint32_t maskOfIndex (int idx) { return idx <= 0 ? 0u : (idx > 32 ? 0u : 1u << (idx - 1)); }

void sortRows (std::vector<PresetsPageController::Row>& rows)
{
    std::stable_sort (rows.begin(), rows.end(),
                      [] (const auto& a, const auto& b) { return PresetMetaDataCompare (a.record, b.record); });
}
} // namespace

PresetsPageController::PresetsPageController (BrevonAudioProcessor& p, View& v) : processor (p), view (v)
{
    startWorker (new UpdateServerIpThread (&processor));
}

PresetsPageController::~PresetsPageController()
{
    if (thread == nullptr)
        return;
    if (thread->isThreadRunning())
    {
        // The page never waits long: a worker stuck in an exchange goes on in
        // the processor's list, which deletes it once it has stopped.
        thread->signalThreadShouldExit();
        thread->notify();
        thread->waitForThreadToExit (100);
        processor.retireThread (thread.release());
    }
    thread.reset();
}

void PresetsPageController::showText (const juce::String& text)
{
    // A worker that failed without a word leaves the display as it is.
    if (text.isNotEmpty())
        view.showError (text);
}

void PresetsPageController::startWorker (PresetsPageThread* worker)
{
    thread.reset (worker);
    thread->startThread();
}

//==============================================================================
bool PresetsPageController::localPresetsOK() const
{
    return processor.getPropertyProxy().getIntValue (settingsKeys::enableLocalCache, settingsDefaults::enableLocalCache)
           == 1;
}

bool PresetsPageController::shouldFilterPreset (const PresetMetaData& md)
{
    const int idx = view.getSearchCategoryIndex();
    const bool categoryOK = idx == 0 || (md.categoryMask & maskOfIndex (idx)) != 0;
    const std::string search = view.getSearchText().toStdString();
    const bool textOK = search.empty() || std::string (md.getName()).find (search) != std::string::npos;
    return ! (categoryOK && textOK);
}

bool PresetsPageController::isLoadEnabled() const
{
    return mode == online && ! rows.empty() && rowInRange();
}

bool PresetsPageController::isDeleteEnabled (const juce::String& email) const
{
    return rowInRange() && rows[(size_t) selectedRow].record.getAuthor() == email.toStdString();
}

void PresetsPageController::selectedRowsChanged (int row)
{
    selectedRow = row;
}

void PresetsPageController::updateSearchData()
{
    const int idx = view.getSearchCategoryIndex();
    searchCategoryMask = maskOfIndex (idx);
    auto& state = processor.getPageState();
    state.setValue ("presetsPageSearchCategoryInt", idx);
    state.setValue ("presetsPageSearchText", view.getSearchText());
}

//==============================================================================
void PresetsPageController::nextPage()
{
    if (listStart + kPageSize < listTotal)
        listStart += kPageSize;
    pageMoved();
}

void PresetsPageController::previousPage()
{
    listStart = listStart > kPageSize ? listStart - kPageSize : 0;
    pageMoved();
}

void PresetsPageController::pageMoved()
{
    view.controlsChanged();
    refreshWanted = true;
    // A running list's answer is for another page now.
    listSuperseded = listSuperseded || dynamic_cast<ListPresetThread*> (thread.get()) != nullptr;
}

void PresetsPageController::refreshPresetList (bool quiet)
{
    updateSearchData();
    view.clearSelection();
    selectedRow = -1;

    if (mode == localOnly)
    {
        refreshWanted = false;
        if (! localPresetsOK())
            return;
        rows.clear();
        for (const auto& entry : processor.getLocalPresetStore().listFolder (false))
            if (! shouldFilterPreset (entry.record))
            {
                Row row;
                row.record = entry.record;
                row.local = 1;
                row.file = entry.file;
                rows.push_back (row);
            }
        sortRows (rows);
        view.rowsChanged();
        view.showStatus ("local preset list updated", false);
        view.controlsChanged();
        return;
    }

    if (thread != nullptr)
        return;
    if (! quiet)
        view.showStatus ("get presets", true);
    // This list shows whatever the sync has sent so far.
    syncChangedServer = false;
    listSilently = quiet && followUpSilently;
    followUpSilently = false;
    startWorker (new ListPresetThread (&processor, view.getSearchText().toStdString(), listStart, searchCategoryMask));
}

//==============================================================================
void PresetsPageController::onLoadPresetButton()
{
    if (rows.empty() || ! rowInRange())
    {
        view.showStatus ("select row first.", false);
        return;
    }
    if (thread != nullptr)
        return;

    view.showStatus ("loading preset", false);
    const PresetMetaData wanted = rows[(size_t) selectedRow].record;
    const juce::File file = fileOfRow (rows[(size_t) selectedRow]);
    const bool localOnlyRow = rows[(size_t) selectedRow].online == 0;

    int taken = 0;
    juce::MemoryBlock block;
    localLoadFailure.clear();
    if (! processor.getLocalPresetStore().loadPresetFile (file, wanted, block))
    {
        if (localOnlyRow)
            localLoadFailure = file.exists() ? LocalPresetStore::kUnreadableText : LocalPresetStore::kFileGoneText;
    }
    else if (block.getSize() > 0)
    {
        try
        {
            taken = processor.applyPresetRecord (block.getData(), block.getSize());
        }
        catch (const UserPresentException& e)
        {
            // A bad local copy: say so and take the server's.
            view.showStatus (e.what(), false);
        }
    }
    if (taken > 0)
    {
        view.showStatus ("preset loaded", false);
        return;
    }
    startWorker (new LoadPresetThread (&processor, wanted));
}

void PresetsPageController::applyLoadedData (const void* data, size_t size, const PresetMetaData& wanted)
{
    try
    {
        if (processor.applyPresetRecord (data, size) == 0)
        {
            view.showStatus ("malformed or old format preset", false);
            return;
        }
        // The preset plays even when its local copy is refused.
        juce::String refusal;
        if (localPresetsOK())
        {
            PresetMetaData copy = wanted;
            processor.savePresetToDisc (&copy, false, &refusal);
        }
        view.showStatus ("preset loaded", false);
        if (auto* bus = processor.getEventAggregator())
            bus->sendEvent (PresetLoaded, 0);
        processor.writeOsc4PresenceMarks();
        view.showLoadedPreset (processor.getProgramNameText(), processor.getProgramCommentText());
        if (rowInRange())
            view.setPublicState (rows[(size_t) selectedRow].record.isPublic != 0);
        showText (refusal);
    }
    catch (const UserPresentException& e)
    {
        view.showStatus (e.what(), false);
    }
    catch (...)
    {
    }
}

//==============================================================================
void PresetsPageController::save()
{
    const juce::String name = view.getNameText();
    if (isPlaceholderName (name))
    {
        view.showStatus ("Need to change preset name before saving", false);
        return;
    }
    if (thread != nullptr)
        return;

    PresetMetaData md = presetmeta::newRecord();
    md.setName (name.toStdString());
    md.setAuthor (view.getEmailText().toStdString());
    md.setComments (view.getCommentsText().toStdString());
    md.categoryMask = processor.getProgramCategoryMask();
    md.isPublic = view.getPublicState() ? 1 : 0;

    if (mode == online)
    {
        view.showStatus ("saving preset", false);
        processor.writeOsc4PresenceMarks();
        // The local copy waits for the server's word: marked until its REQUEST_OK.
        // It is written first because writing stamps the record, and the
        // upload must carry the same time (the server refuses a record without one).
        juce::String refusal;
        const bool marked = localPresetsOK() && processor.savePresetToDisc (&md, true, &refusal);
        if (md.getLastModified().empty())
            LocalPresetStore::stamp (md);
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        juce::File file;
        processor.metaDataToFile (&md, file);
        startSaveDelete (false, md, file, std::move (state), Upload::onlineSave);
        localMarked = marked;
        // The upload goes on; the local copy that failed left the folder as it was.
        showText (marked || refusal.isNotEmpty() || ! localPresetsOK() ? refusal
                                                                       : juce::String ("could not save preset to disc"));
        return;
    }

    juce::String refusal;
    if (processor.savePresetToDisc (&md, true, &refusal))
    {
        view.showStatus ("saving preset to disc", false);
        refreshWanted = mode == localOnly;
    }
    else
        view.showStatus (refusal.isNotEmpty() ? refusal : "could not save preset to disc", false);
}

void PresetsPageController::deleteSelected()
{
    if (thread != nullptr || ! rowInRange())
        return;
    PresetMetaData md = rows[(size_t) selectedRow].record;
    const juce::File file = fileOfRow (rows[(size_t) selectedRow]);
    auto& store = processor.getLocalPresetStore();
    view.showStatus ("deleting preset", false);

    if (mode == online)
    {
        // Hidden and marked here first; the file goes on the server's
        // REQUEST_OK. A local copy that cannot be marked keeps the preset on
        // the server too. No copy, or another preset's file, is no hindrance.
        juce::String refusal;
        PresetMetaData marked = md;
        const bool local = localPresetsOK() && store.deletePresetFile (file, &marked, true, &refusal);
        if (localPresetsOK() && ! local && refusal.isEmpty() && file != juce::File())
        {
            view.showStatus ("could not delete local preset", false);
            return;
        }
        startSaveDelete (true, md, file, {}, Upload::onlineDelete);
        localMarked = local;
        if (refusal != LocalPresetStore::kFileGoneText)
            showText (refusal);
        return;
    }

    juce::String refusal;
    if (store.deletePresetFile (file, &md, true, &refusal))
    {
        view.showStatus ("delete local preset", false);
        refreshWanted = mode == localOnly;
    }
    else
        view.showStatus (refusal.isNotEmpty() ? refusal : "could not delete local preset", false);
}

void PresetsPageController::startSaveDelete (bool remove, const PresetMetaData& md, const juce::File& file,
                                             juce::MemoryBlock state, Upload why)
{
    std::vector<char> data;
    if (! remove)
    {
        processor.writeOsc4PresenceMarks();
        data.assign (static_cast<const char*> (state.getData()), static_cast<const char*> (state.getData()) + state.getSize());
    }
    upload = why;
    uploadRecord = md;
    uploadFile = file;
    localMarked = why == Upload::syncSave || why == Upload::syncDelete;
    startWorker (new SaveDeletePresetThread (&processor,
                                             remove ? SaveDeletePresetThread::deletion : SaveDeletePresetThread::upload, md,
                                             std::move (data)));
}

//==============================================================================
void PresetsPageController::poll()
{
    if (thread != nullptr)
    {
        if (thread->isThreadRunning())
        {
            if (dynamic_cast<ListPresetThread*> (thread.get()) != nullptr && ! listSilently)
                view.showStatus ("updating preset list", false);
            return;
        }
        handleFinishedWorker();
        return;
    }

    if (refreshWanted)
        refreshPresetList (true);
    else if (metaDataWanted)
        startWorker (new GetMetaDataThread (&processor));
    else if (scanWanted)
    {
        if (localPresetsOK())
            rebuildPending();
        scanWanted = false;
    }
    else if (! pending.empty() && localPresetsOK())
        syncStep();
    else if (syncChangedServer)
    {
        // The round is over and the server has changed: show it as it is now.
        syncChangedServer = false;
        refreshPresetList (true);
    }
}

void PresetsPageController::handleFinishedWorker()
{
    std::unique_ptr<PresetsPageThread> done (thread.release());

    if (auto* list = dynamic_cast<ListPresetThread*> (done.get()))
    {
        const bool silent = std::exchange (listSilently, false);
        // A page press made after this list went out keeps its offset: the
        // list for it goes out next, and this answer is not shown.
        const bool superseded = std::exchange (listSuperseded, false);
        refreshWanted = superseded;
        if (! list->success)
            showText (list->status);
        else if (! superseded && list->presets.empty() && list->offset > 0)
        {
            // Past the last page, its last preset deleted say: the page
            // before it, in the same voice, and down to the first if need be.
            listStart = list->offset > kPageSize ? list->offset - kPageSize : 0;
            listTotal = 0;
            rows.clear();
            view.rowsChanged();
            refreshWanted = true;
            followUpSilently = silent;
        }
        else if (! superseded)
            showListed (list->presets, silent);
    }
    else if (auto* load = dynamic_cast<LoadPresetThread*> (done.get()))
    {
        // A local-only row's own file failed first: that is what went wrong.
        if (! load->success)
            showText (localLoadFailure.isNotEmpty() ? localLoadFailure : load->status);
        else if (load->data.empty())
            view.showStatus ("malformed or old format preset", false);
        else
            applyLoadedData (load->data.data(), load->data.size(), load->wanted);
        // Whatever came of it, no voice goes on with the old sound.
        processor.stopAllVoices();
    }
    else if (auto* meta = dynamic_cast<GetMetaDataThread*> (done.get()))
    {
        if (meta->success && meta->metaData != nullptr)
        {
            metaDataWanted = false;
            latestVersionOnServer = meta->metaData->version;
            view.latestVersionChanged();
        }
        else
            showText (meta->status);
    }
    else if (auto* saveDelete = dynamic_cast<SaveDeletePresetThread*> (done.get()))
    {
        const Upload why = upload;
        upload = Upload::none;
        if (saveDelete->success)
        {
            mode = online;
            updateSearchData();
            view.clearSelection();
            selectedRow = -1;
            // Only now has the server got it: the markers (and a file marked
            // for delete) may go.
            // Markers of a file this run did not mark (another preset of the
            // same file name, say) are not ours to clear.
            if (localMarked)
            {
                auto& store = processor.getLocalPresetStore();
                PresetMetaData record = uploadRecord;
                const bool removed = (why != Upload::onlineDelete && why != Upload::syncDelete)
                                     || store.deletePresetFile (uploadFile, &record, false);
                if (! removed || ! store.removeNeedSync (uploadFile, uploadRecord))
                    leaveOutOfSync (uploadFile, uploadRecord,
                                    removed ? "its sync marker could not be removed" : "its local file could not be removed");
            }
            view.showStatus (saveDelete->operation == SaveDeletePresetThread::deletion ? "preset removed" : "preset saved",
                             false);
            if (why == Upload::onlineSave || why == Upload::onlineDelete)
            {
                // The table follows at once, local copy or not; the save's or
                // delete's word stays the last one.
                refreshWanted = true;
                followUpSilently = true;
            }
            else
            {
                syncChangedServer = true;
                if (localPresetsOK() && pending.empty())
                    refreshWanted = true;
            }
        }
        else if (why == Upload::syncSave || why == Upload::syncDelete)
            leaveOutOfSync (uploadFile, uploadRecord, saveDelete->status);
        else
            showText (saveDelete->status);
    }
    else if (done != nullptr)
    {
        // The server address lookup.
        if (done->success)
        {
            mode = online;
            updateSearchData();
            view.clearSelection();
            selectedRow = -1;
        }
        else
        {
            mode = localOnly;
            showText (done->status);
        }
    }

    done.reset();
    view.controlsChanged();
}

void PresetsPageController::showListed (const std::vector<PresetMetaData>& presets, bool silent)
{
    // Paging comes from the reply's first record, before sorting; a list of
    // none has no pages.
    if (! presets.empty())
    {
        listTotal = presets.front().listTotal;
        listStart = presets.front().listOffset;
    }
    else
        listTotal = listStart = 0;
    rows.clear();
    for (const auto& md : presets)
    {
        Row row;
        row.record = md;
        row.online = 1;
        rows.push_back (row);
    }
    // The flag shows a local copy under any name, but the row keeps no file:
    // it loads and deletes the file its record names, never another copy
    // that happens to hold the same author and name.
    if (localPresetsOK())
    {
        const auto local = processor.getLocalPresetStore().listFolder (false);
        for (auto& row : rows)
            for (const auto& entry : local)
                if (entry.record.getAuthor() == row.record.getAuthor() && entry.record.getName() == row.record.getName())
                {
                    row.local = 1;
                    break;
                }
    }
    sortRows (rows);
    view.rowsChanged();
    if (! silent)
        view.showStatus (rows.empty() ? "no presets found" : "preset list updated", false);
    if (latestVersionOnServer.load() == 0)
        metaDataWanted = true;
    // A sync round follows a server's answer only (a list of none included),
    // so a failing one cannot come round again every second.
    scanWanted = true;
}

//==============================================================================
void PresetsPageController::rebuildPending()
{
    pending.clear();
    for (auto& entry : processor.getLocalPresetStore().listFolder (true))
        if (leftOut.contains (entry.file.getFullPathName()))
            continue;
        else if (entry.oddMarker)
            leaveOutOfSync (entry.file, entry.record, "its sync marker is not a file");
        else if (entry.needSync)
        {
            // The upload carries the time the file was last written.
            entry.record.setLastModified (LocalPresetStore::formatTime (entry.modified).toStdString());
            pending.push_back (std::move (entry));
        }
}

juce::File PresetsPageController::fileOfRow (const Row& row) const
{
    if (row.file != juce::File())
        return row.file;
    juce::File file;
    processor.metaDataToFile (&row.record, file);
    return file;
}

void PresetsPageController::syncStep()
{
    // At most one step a second, and never a wait on this thread: until the
    // second is over the poll simply returns.
    const double now = nowMs();
    if (lastSyncMs < 0.0)
        lastSyncMs = now;
    if (now - lastSyncMs < kSyncSpacingMs)
        return;
    lastSyncMs = now;

    const LocalPresetStore::Entry entry = pending.front();
    const PresetMetaData& md = entry.record;
    pending.erase (pending.begin());

    // Another author's preset waits for that author: the markers stay.
    if (md.getAuthor() != view.getEmailText().toStdString())
        return;

    view.showStatus ("syncing preset to server", false);
    auto& store = processor.getLocalPresetStore();
    if (store.isMarkedDeleted (entry.file, md))
    {
        bool linkedHere = false;
        if (! hasUnmarkedCopy (entry, linkedHere))
        {
            startSaveDelete (true, md, entry.file, {}, Upload::syncDelete);
            return;
        }
        // The preset is still here under another name: the server keeps it,
        // and only this copy and its markers go; a file another name links
        // to stays, or that name would lose its sound.
        PresetMetaData record = md;
        if (! (linkedHere || store.deletePresetFile (entry.file, &record, false)) || ! store.removeNeedSync (entry.file, md))
            leaveOutOfSync (entry.file, md, "its local copy could not be removed");
        return;
    }
    juce::MemoryBlock state;
    if (! store.loadPresetFile (entry.file, md, state))
    {
        // Markers and all, for the next opening of the page.
        leaveOutOfSync (entry.file, md, LocalPresetStore::kUnreadableText);
        return;
    }
    startSaveDelete (false, md, entry.file, std::move (state), Upload::syncSave);
}

bool PresetsPageController::hasUnmarkedCopy (const LocalPresetStore::Entry& entry, bool& linkedHere)
{
    bool found = false;
    for (const auto& other : processor.getLocalPresetStore().listFolder (false))
        if (other.file != entry.file && other.record.getAuthor() == entry.record.getAuthor()
            && other.record.getName() == entry.record.getName())
        {
            found = true;
            linkedHere = linkedHere
                         || (other.file.isSymbolicLink() && ! entry.file.isSymbolicLink()
                             && other.file.getFileIdentifier() == entry.file.getFileIdentifier());
        }
    return found;
}

void PresetsPageController::leaveOutOfSync (const juce::File& file, const PresetMetaData& md, const juce::String& why)
{
    leftOut.addIfNotAlreadyThere (file.getFullPathName());
    view.showError ("could not sync \"" + LocalPresetStore::recordText (md.getName()) + "\": "
                    + (why.isNotEmpty() ? why : juce::String ("no answer")));
}

//==============================================================================
const std::vector<std::string>& PresetsPageController::categoryNames()
{
    static const std::vector<std::string> names { "no category", "bass", "keys", "pads", "drums", "lead" };
    return names;
}

juce::String PresetsPageController::categoryText (uint32_t mask)
{
    juce::StringArray parts;
    for (int bit = 0; bit < 5; ++bit)
        if ((mask & (1u << bit)) != 0)
            parts.add (categoryNames()[(size_t) bit + 1]);
    return parts.isEmpty() ? juce::String ("-") : parts.joinIntoString (", ");
}

juce::String PresetsPageController::authorText (const PresetMetaData& md)
{
    return LocalPresetStore::authorShown (md);
}

juce::String PresetsPageController::lastModifiedText (const PresetMetaData& md)
{
    const std::string text (md.getLastModified());
    if (text.empty())
        return "-";
    const auto colon = text.rfind (':');
    return LocalPresetStore::recordText (text.substr (0, colon));
}

juce::String PresetsPageController::displayText (std::string_view bytes)
{
    return LocalPresetStore::recordText (bytes);
}

juce::String PresetsPageController::versionText()
{
    return "talvora xl version " + juce::String::formatted ("%u.%u", 1u, presetmeta::currentVersion() % 100u);
}

juce::String PresetsPageController::versionNotice (uint32_t latest)
{
    const uint32_t own = presetmeta::currentVersion();
    if (latest <= own)
        return {};
    const juce::String server = latest >= 100 ? juce::String::formatted ("%u.%u", latest / 100, latest % 100)
                                              : juce::String::formatted ("beta %u", latest % 100);
    return "update available, you run " + juce::String::formatted ("%u.%u", 1u, own % 100u) + " latest on server "
           + server;
}
