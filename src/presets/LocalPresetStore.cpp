#include "presets/LocalPresetStore.h"

#include <cstdlib>
#include <cstring>
#include <string>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
#endif

#include "core/PropertyProxy.h"

namespace
{
// Longest file name most file systems take, in bytes.
constexpr int kMaxFileNameBytes = 255;

juce::File sibling (const juce::File& f, const char* suffix)
{
    return f.getSiblingFile (f.getFileName() + suffix);
}

// Made by us, so private from the start: the records carry the author's e-mail.
bool makePrivateFolder (const juce::File& folder)
{
    if (! folder.createDirectory().wasOk() || ! folder.isDirectory())
        return false;
   #if ! JUCE_WINDOWS
    ::chmod (folder.getFullPathName().toRawUTF8(), S_IRWXU);
   #endif
    return true;
}

// The record at the head of a preset file. Never reads more than the record,
// and nothing at all from a file too short to hold one.
bool readHead (const juce::File& f, PresetMetaData& md)
{
    if (! f.existsAsFile() || f.getSize() < (juce::int64) presetmeta::kRecordSize)
        return false;

    juce::FileInputStream in (f);
    uint8_t head[presetmeta::kRecordSize];

    if (! in.openedOk() || in.read (head, (int) sizeof (head)) != (int) sizeof (head))
        return false;

    presetmeta::fromBytes (head, md);
    return true;
}

bool samePreset (const PresetMetaData& a, const PresetMetaData& b)
{
    return a.getAuthor() == b.getAuthor() && a.getName() == b.getName();
}

// Names the preset that keeps the file, as the table shows it.
juce::String clashText (const PresetMetaData& stored)
{
    return "local copy refused, its file holds \"" + LocalPresetStore::recordText (stored.getName()) + "\" by "
           + LocalPresetStore::authorShown (stored);
}

bool createMarker (const juce::File& marker)
{
    return marker.existsAsFile() || marker.create().wasOk();
}

bool removeIfPresent (const juce::File& f)
{
    return ! f.exists() || f.deleteFile();
}

} // namespace

void LocalPresetStore::stamp (PresetMetaData& md)
{
    md.setLastModified (formatTime (juce::Time::getCurrentTime()).toStdString());
}

juce::String LocalPresetStore::recordText (std::string_view bytes)
{
    const std::string text (bytes);
    if (juce::CharPointer_UTF8::isValidString (text.c_str(), (int) text.size()))
        return juce::String::fromUTF8 (text.c_str(), (int) text.size());
    juce::String latin1; // an old 8-bit text
    for (auto* p = reinterpret_cast<const unsigned char*> (text.c_str()); *p != 0; ++p)
        latin1 += juce::String::charToString ((juce::juce_wchar) *p);
    return latin1;
}

juce::String LocalPresetStore::authorShown (const PresetMetaData& md)
{
    const std::string_view author = md.getAuthor();
    return recordText (author.substr (0, author.find ('@')));
}

LocalPresetStore::LocalPresetStore (std::function<bool()> isEnabledIn,
                                    std::function<void (juce::MemoryBlock&)> readStateIn,
                                    juce::File folderIn)
    : isEnabled (std::move (isEnabledIn)),
      readState (std::move (readStateIn)),
      folder (std::move (folderIn))
{
}

juce::File LocalPresetStore::defaultFolder()
{
    return PropertyProxy::getSettingsFolder().getChildFile ("presetcache");
}

juce::String LocalPresetStore::formatTime (juce::Time t)
{
    return t.formatted ("%Y-%m-%d %H:%M:%S");
}

juce::int64 LocalPresetStore::recordTime (const PresetMetaData& md)
{
    // Bytes from a file: no text conversion, just the digits of each field.
    const std::string_view text = md.getLastModified();
    const auto field = [text] (size_t start, size_t length)
    {
        return start < text.size() ? (int) std::strtol (std::string (text.substr (start, length)).c_str(), nullptr, 10) : 0;
    };

    const int year = field (0, 4);
    if (year < 1971)
        return 0;

    // Seconds are left out: a file written in the same minute as the stamp is never stale.
    return juce::Time (year, field (5, 2) - 1, field (8, 2), field (11, 2), field (14, 2), 0, 0, true).toMilliseconds();
}

bool LocalPresetStore::enabled() const
{
    return isEnabled != nullptr && isEnabled();
}

//==============================================================================
juce::String LocalPresetStore::getLocalPresetsPath() const
{
    if (folder == juce::File())
        return {};

    if (folder.isDirectory())
        return folder.getFullPathName();

    const juce::File parent = folder.getParentDirectory();

    if (! parent.isDirectory() && ! makePrivateFolder (parent))
        return {};

    return makePrivateFolder (folder) ? folder.getFullPathName() : juce::String();
}

juce::File LocalPresetStore::fileFor (const PresetMetaData& md) const
{
    const juce::String name = juce::File::createLegalPathName (juce::String (presetMetaDataToFileName (md)));

    // The first naming step leaves neither dots nor separators; this holds the
    // file inside the folder whatever that step becomes. The longest marker
    // name has to fit too, or the preset could never be synced.
    if (name.isEmpty() || name.startsWithChar ('.') || name.containsAnyOf ("/\\")
        || (int) name.getNumBytesAsUTF8() + (int) std::strlen (kMarkedDeleteSuffix) > kMaxFileNameBytes)
        return {};

    const juce::String path = getLocalPresetsPath();
    if (path.isEmpty())
        return {};

    const juce::File dir (path);
    const juce::File file = dir.getChildFile (name);
    return file.getParentDirectory() == dir ? file : juce::File();
}

bool LocalPresetStore::metaDataToFile (const PresetMetaData* md, juce::File& file) const
{
    if (md == nullptr)
        return false;

    const juce::File f = fileFor (*md);
    if (f == juce::File())
        return false;

    file = f;
    return true;
}

//==============================================================================
bool LocalPresetStore::writeBytes (juce::FileOutputStream& out, const void* data, size_t size)
{
    return out.write (data, size);
}

void LocalPresetStore::beforeReplace (const juce::File&) {}

bool LocalPresetStore::writeFile (const juce::File& target, const PresetMetaData& md)
{
    juce::MemoryBlock contents (presetmeta::kRecordSize);
    presetmeta::toBytes (md, static_cast<uint8_t*> (contents.getData()));

    juce::MemoryBlock state;
    if (readState != nullptr)
        readState (state);

    // Anything else would be a file that no load accepts.
    if (state.getSize() != kStateSize)
        return false;

    contents.append (state.getData(), state.getSize());

    // Hidden, so neither the list nor the sync ever sees it, and in the same
    // folder, so the rename below stays on one file system and is atomic.
    juce::File temporary;
    juce::Random random;
    do
        temporary = target.getSiblingFile (kTemporaryPrefix + juce::String::toHexString (random.nextInt64())
                                           + kTemporarySuffix);
    while (temporary.exists());

    bool ok = false;
    {
        juce::FileOutputStream out (temporary);

        if (out.openedOk())
        {
            ok = writeBytes (out, contents.getData(), contents.getSize());
            out.flush();  // also syncs to disk, so the rename cannot overtake the data
            ok = ok && out.getStatus().wasOk() && out.getPosition() == (juce::int64) contents.getSize();
        }
    }

    ok = ok && temporary.getSize() == (juce::int64) contents.getSize();

    if (ok)
    {
        beforeReplace (temporary);
        ok = temporary.replaceFileIn (target);
    }

    if (! ok)
        temporary.deleteFile();

    return ok;
}

bool LocalPresetStore::mayReplace (const juce::File& target, const PresetMetaData& md, bool needSync,
                                   juce::String* refusal) const
{
    if (! target.exists())
        return true;

    // Different presets can map to one file name: neither ever replaces the
    // other, whichever way the write comes.
    PresetMetaData stored;
    if (readHead (target, stored) && ! samePreset (stored, md))
    {
        if (refusal != nullptr)
            *refusal = clashText (stored);
        return false;
    }

    // An edit the server has not seen yet is the only copy there is: a
    // download must not overwrite it, even with the same preset's server copy.
    // A save replaces its own pending edit, and a file with no record (which
    // the sync could never send).
    return needSync || ! sibling (target, kNeedSyncSuffix).exists();
}

bool LocalPresetStore::savePresetToDisc (PresetMetaData* md, bool needSync, juce::String* refusal)
{
    if (md == nullptr || ! enabled())
        return false;

    stamp (*md);

    juce::File target;
    if (! metaDataToFile (md, target) || ! mayReplace (target, *md, needSync, refusal) || ! writeFile (target, *md))
        return false;

    // Saving again brings a preset back: it must not stay hidden, nor be
    // deleted on the server by the next sync. This order never leaves the
    // delete marker without an upload marker where there was one before.
    if (! removeIfPresent (sibling (target, kMarkedDeleteSuffix)))
        return false;

    return ! needSync || createMarker (sibling (target, kNeedSyncSuffix));
}

bool LocalPresetStore::deletePresetFromDisc (PresetMetaData* md, bool markOnly, juce::String* refusal)
{
    if (md == nullptr || ! enabled())
        return false;

    stamp (*md);

    juce::File target;
    if (! metaDataToFile (md, target))
        return false;

    if (markOnly)
    {
        if (! mayReplace (target, *md, true, refusal) || ! writeFile (target, *md))
            return false;

        return createMarker (sibling (target, kNeedSyncSuffix))
            && createMarker (sibling (target, kMarkedDeleteSuffix));
    }

    // Only this preset's own file goes; a file that holds another one (same
    // file name) is not what was asked for.
    PresetMetaData stored;
    if (! target.exists() || ! readHead (target, stored) || ! samePreset (stored, *md))
        return true;

    return target.deleteFile();
}

bool LocalPresetStore::removeNeedSync (const PresetMetaData& md)
{
    if (! enabled())
        return false;

    juce::File target;
    if (! metaDataToFile (&md, target))
        return false;

    // The markers belong to the preset in the file, which may be another one.
    PresetMetaData stored;
    if (readHead (target, stored) && ! samePreset (stored, md))
        return false;

    const bool needSyncGone = removeIfPresent (sibling (target, kNeedSyncSuffix));
    const bool markGone = removeIfPresent (sibling (target, kMarkedDeleteSuffix));
    return needSyncGone && markGone;
}

//==============================================================================
bool LocalPresetStore::loadPresetFromDiscToMemoryBlock (const PresetMetaData& md, juce::MemoryBlock& state) const
{
    if (! enabled())
        return false;

    const juce::int64 wanted = recordTime (md);

    juce::File file;
    if (! metaDataToFile (&md, file) || ! file.existsAsFile())
        return false;

    const juce::int64 fileTime = file.getLastModificationTime().toMilliseconds() / 1000 * 1000;

    // The file is older than the record it is asked for.
    if (wanted != 0 && wanted > fileTime)
        return false;

    // Anything but a whole record and a whole state is damaged; an empty state
    // would otherwise be loaded and then synced as an empty preset.
    if (file.getSize() != (juce::int64) kFileSize)
        return false;

    juce::FileInputStream in (file);
    juce::HeapBlock<uint8_t> bytes (kFileSize);

    if (! in.openedOk() || in.read (bytes.get(), (int) kFileSize) != (int) kFileSize)
        return false;

    PresetMetaData stored;
    presetmeta::fromBytes (bytes.get(), stored);

    // Two presets can share a file name; this one may not be the wanted one.
    if (! samePreset (stored, md))
        return false;

    state.append (bytes.get() + presetmeta::kRecordSize, kStateSize);
    return true;
}

std::vector<PresetMetaData> LocalPresetStore::getLocalPresets() const
{
    std::vector<PresetMetaData> presets;

    if (! enabled())
        return presets;

    const juce::String path = getLocalPresetsPath();
    if (path.isEmpty())
        return presets;

    removeStaleTemporaries (juce::File (path));

    // Hidden files are writes in progress or left by a crash.
    for (const auto& entry : juce::RangedDirectoryIterator (juce::File (path), false, kListPattern,
                                                             juce::File::findFiles | juce::File::ignoreHiddenFiles))
    {
        const juce::File f = entry.getFile();
        PresetMetaData md;

        if (! readHead (f, md) || sibling (f, kMarkedDeleteSuffix).exists())
            continue;

        if (md.getLastModified().empty())
            md.setLastModified (formatTime (f.getLastModificationTime()).toStdString());

        presets.push_back (md);
    }

    return presets;
}

void LocalPresetStore::removeStaleTemporaries (const juce::File& dir) const
{
    // A save finishes in well under a minute; an older temporary is what an
    // interrupted one left, and nothing will ever rename it.
    const juce::Time cutoff = juce::Time::getCurrentTime() - juce::RelativeTime::minutes (1);
    const juce::String pattern = juce::String (kTemporaryPrefix) + "*" + kTemporarySuffix;

    for (const auto& entry : juce::RangedDirectoryIterator (dir, false, pattern, juce::File::findFiles))
        if (entry.getModificationTime() < cutoff)
            entry.getFile().deleteFile();
}
