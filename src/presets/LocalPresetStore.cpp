#include "presets/LocalPresetStore.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <fcntl.h>
 #include <sys/stat.h>
 #include <unistd.h>
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

// Reads a file only when it is a regular file (a link to one counts). Opened
// without waiting, and checked again once open, so a FIFO or a device, even
// one swapped in after the first look, can never block or feed the reader.
class RegularFile
{
public:
    explicit RegularFile (const juce::File& f)
    {
       #if JUCE_WINDOWS
        if (f.existsAsFile())
        {
            stream = std::make_unique<juce::FileInputStream> (f);
            length = stream->openedOk() ? stream->getTotalLength() : -1;
        }
       #else
        const juce::String path = f.getFullPathName();
        struct stat st;
        if (::stat (path.toRawUTF8(), &st) != 0 || ! S_ISREG (st.st_mode))
            return;
        fd = ::open (path.toRawUTF8(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && (::fstat (fd, &st) != 0 || ! S_ISREG (st.st_mode)))
        {
            ::close (fd);
            fd = -1;
        }
        if (fd >= 0)
            length = (juce::int64) st.st_size;
       #endif
    }

    ~RegularFile()
    {
       #if ! JUCE_WINDOWS
        if (fd >= 0)
            ::close (fd);
       #endif
    }

    bool isOpen() const { return length >= 0; }
    juce::int64 size() const { return length; }

    // Exactly count bytes from the start of the file, or false.
    bool readStart (void* dest, size_t count)
    {
        if (! isOpen() || (juce::int64) count > length)
            return false;
       #if JUCE_WINDOWS
        return stream->read (dest, (int) count) == (int) count;
       #else
        size_t done = 0;
        while (done < count)
        {
            const ssize_t got = ::pread (fd, static_cast<char*> (dest) + done, count - done, (off_t) done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += (size_t) got;
        }
        return true;
       #endif
    }

private:
    juce::int64 length = -1;
   #if JUCE_WINDOWS
    std::unique_ptr<juce::FileInputStream> stream;
   #else
    int fd = -1;
   #endif
    JUCE_DECLARE_NON_COPYABLE (RegularFile)
};

bool isRegularFile (const juce::File& f)
{
    return RegularFile (f).isOpen();
}

// The record at the head of a preset file. Never reads more than the record,
// and nothing at all from a file too short to hold one or not a regular file.
bool readHead (const juce::File& f, PresetMetaData& md)
{
    RegularFile in (f);
    uint8_t head[presetmeta::kRecordSize];

    if (! in.readStart (head, sizeof (head)))
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

// What holds a marker's name. Only a regular file (a link to one counts, and
// only the link goes) is a marker; anything else of that name, a directory or
// a FIFO say, is neither made, removed nor believed.
enum class Marker
{
    absent,
    file,
    odd
};

Marker markerKind (const juce::File& marker)
{
   #if JUCE_WINDOWS
    return ! marker.exists() ? Marker::absent : marker.existsAsFile() ? Marker::file : Marker::odd;
   #else
    const juce::String path = marker.getFullPathName();
    struct stat st;
    if (::stat (path.toRawUTF8(), &st) == 0)
        return S_ISREG (st.st_mode) ? Marker::file : Marker::odd;
    if (errno != ENOENT)
        return Marker::odd;
    // A link to nothing: no marker, and none can be made in its place.
    return ::lstat (path.toRawUTF8(), &st) == 0 ? Marker::odd : Marker::absent;
   #endif
}

bool isMarker (const juce::File& marker) { return markerKind (marker) == Marker::file; }

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

bool LocalPresetStore::allowed (const juce::File& changed) const
{
    return mayChangeFile == nullptr || mayChangeFile (changed);
}

bool LocalPresetStore::makeMarker (const juce::File& marker, bool& made) const
{
    made = false;
    const Marker kind = markerKind (marker);
    if (kind != Marker::absent)
        return kind == Marker::file;
    made = allowed (marker) && marker.create().wasOk();
    return made;
}

bool LocalPresetStore::removeMarker (const juce::File& marker, bool& removed) const
{
    removed = false;
    const Marker kind = markerKind (marker);
    if (kind != Marker::file)
        return kind == Marker::absent;
    removed = allowed (marker) && marker.deleteFile();
    return removed;
}

bool LocalPresetStore::writeTemporary (const juce::File& target, const PresetMetaData& md, juce::File& temporary)
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
    // folder, so the rename that follows stays on one file system and is atomic.
    juce::Random random;
    do
        temporary = target.getSiblingFile (kTemporaryPrefix + juce::String::toHexString (random.nextInt64())
                                           + kTemporarySuffix);
    while (temporary.exists());

    if (! allowed (temporary))
        return false;

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

   #if ! JUCE_WINDOWS
    // A file written afresh keeps the mode its user gave it.
    struct stat st;
    if (ok && ::stat (target.getFullPathName().toRawUTF8(), &st) == 0)
        ok = ::chmod (temporary.getFullPathName().toRawUTF8(), st.st_mode & 07777) == 0;
   #endif

    if (! ok)
        temporary.deleteFile();

    return ok;
}

bool LocalPresetStore::mayReplace (const juce::File& target, const PresetMetaData& md, bool needSync,
                                   juce::String* refusal) const
{
    if (! target.exists())
        return true;

    // A FIFO, a device or a directory of that name is nobody's preset file.
    if (! isRegularFile (target))
        return false;

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
    return needSync || ! isMarker (sibling (target, kNeedSyncSuffix));
}

bool LocalPresetStore::isPresetFileHere (const juce::File& file) const
{
    const juce::String path = getLocalPresetsPath();
    const juce::String name = file.getFileName();
    return path.isNotEmpty() && file.getParentDirectory() == juce::File (path) && ! name.startsWithChar ('.')
           && name.endsWithIgnoreCase (kExtension);
}

bool LocalPresetStore::writePreset (const juce::File& target, const PresetMetaData& md, bool needSync,
                                    juce::String* refusal)
{
    const juce::File needSyncMarker = sibling (target, kNeedSyncSuffix);
    const juce::File deleteMarker = sibling (target, kMarkedDeleteSuffix);

    // Every marker this write touches is checked first.
    juce::File temporary;
    if (! mayReplace (target, md, needSync, refusal) || markerKind (deleteMarker) == Marker::odd
        || (needSync && markerKind (needSyncMarker) == Marker::odd) || ! writeTemporary (target, md, temporary))
        return false;

    beforeReplace (temporary);

    // The markers change first and the rename comes last, so a step that
    // fails (a full disc, say) leaves no file without its marker: what came
    // before it is taken back. Saving again brings a preset back: it must not
    // stay hidden, nor be deleted on the server by the next sync.
    bool madeNeedSync = false, removedDelete = false;
    const bool ok = (! needSync || makeMarker (needSyncMarker, madeNeedSync))
                    && removeMarker (deleteMarker, removedDelete) && allowed (target) && temporary.replaceFileIn (target);

    if (! ok)
    {
        if (removedDelete)
            deleteMarker.create();
        if (madeNeedSync)
            needSyncMarker.deleteFile();
        temporary.deleteFile();
    }
    return ok;
}

bool LocalPresetStore::markDeleted (const juce::File& file, const PresetMetaData& md, juce::String* refusal)
{
    const auto refuse = [refusal] (const juce::String& why)
    {
        if (refusal != nullptr)
            *refusal = why;
        return false;
    };

    // Nothing is made for a file that is not there: the markers alone would
    // have the next sync delete the preset on the server.
    if (! file.exists())
        return refuse (kFileGoneText);

    PresetMetaData stored;
    if (! readHead (file, stored))
        return refuse (kUnreadableText);
    if (! samePreset (stored, md))
        return refuse (clashText (stored));

    // The file keeps its bytes: a link's other name, or the sound the server
    // still has to hear of, must not change because this row goes.
    const juce::File needSyncMarker = sibling (file, kNeedSyncSuffix);
    bool madeNeedSync = false, madeDelete = false;
    if (makeMarker (needSyncMarker, madeNeedSync) && makeMarker (sibling (file, kMarkedDeleteSuffix), madeDelete))
        return true;

    if (madeNeedSync)
        needSyncMarker.deleteFile();
    return false;
}

bool LocalPresetStore::savePresetToDisc (PresetMetaData* md, bool needSync, juce::String* refusal)
{
    if (md == nullptr || ! enabled())
        return false;

    stamp (*md);

    juce::File target;
    return metaDataToFile (md, target) && writePreset (target, *md, needSync, refusal);
}

bool LocalPresetStore::deletePresetFromDisc (PresetMetaData* md, bool markOnly, juce::String* refusal)
{
    juce::File target;
    return md != nullptr && metaDataToFile (md, target) && deletePresetFile (target, md, markOnly, refusal);
}

bool LocalPresetStore::deletePresetFile (const juce::File& file, PresetMetaData* md, bool markOnly, juce::String* refusal)
{
    if (md == nullptr || ! enabled() || ! isPresetFileHere (file))
        return false;

    stamp (*md);

    if (markOnly)
        return markDeleted (file, *md, refusal);

    // Only this preset's own file goes; a file that holds another one (same
    // file name) is not what was asked for.
    PresetMetaData stored;
    if (! file.exists() || ! readHead (file, stored) || ! samePreset (stored, *md))
        return true;

    return allowed (file) && file.deleteFile();
}

bool LocalPresetStore::removeNeedSync (const PresetMetaData& md)
{
    juce::File target;
    return metaDataToFile (&md, target) && removeNeedSync (target, md);
}

bool LocalPresetStore::removeNeedSync (const juce::File& file, const PresetMetaData& md)
{
    if (! enabled() || ! isPresetFileHere (file))
        return false;

    // The markers belong to the preset in the file, which may be another one.
    PresetMetaData stored;
    if (readHead (file, stored) && ! samePreset (stored, md))
        return false;

    const juce::File needSyncMarker = sibling (file, kNeedSyncSuffix);
    const juce::File deleteMarker = sibling (file, kMarkedDeleteSuffix);
    if (markerKind (needSyncMarker) == Marker::odd || markerKind (deleteMarker) == Marker::odd)
        return false;

    bool removedNeedSync = false, removedDelete = false;
    if (! removeMarker (needSyncMarker, removedNeedSync))
        return false;
    if (removeMarker (deleteMarker, removedDelete))
        return true;

    // Not halfway: a delete marker alone would hide the preset with nothing pending.
    if (removedNeedSync)
        needSyncMarker.create();
    return false;
}

bool LocalPresetStore::isMarkedDeleted (const juce::File& file, const PresetMetaData& md) const
{
    if (! enabled() || ! isPresetFileHere (file) || ! isMarker (sibling (file, kNeedSyncSuffix))
        || ! isMarker (sibling (file, kMarkedDeleteSuffix)))
        return false;

    PresetMetaData stored;
    return readHead (file, stored) && samePreset (stored, md);
}

//==============================================================================
bool LocalPresetStore::loadPresetFromDiscToMemoryBlock (const PresetMetaData& md, juce::MemoryBlock& state) const
{
    juce::File file;
    return metaDataToFile (&md, file) && loadPresetFile (file, md, state);
}

bool LocalPresetStore::loadPresetFile (const juce::File& file, const PresetMetaData& md, juce::MemoryBlock& state) const
{
    if (! enabled() || ! isPresetFileHere (file))
        return false;

    RegularFile in (file);
    if (! in.isOpen())
        return false;

    // The file is older than the record it is asked for.
    const juce::int64 wanted = recordTime (md);
    const juce::int64 fileTime = file.getLastModificationTime().toMilliseconds() / 1000 * 1000;
    if (wanted != 0 && wanted > fileTime)
        return false;

    // Anything but a whole record and a whole state is damaged; an empty state
    // would otherwise be loaded and then synced as an empty preset.
    juce::HeapBlock<uint8_t> bytes (kFileSize);
    if (in.size() != (juce::int64) kFileSize || ! in.readStart (bytes.get(), kFileSize))
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
    for (auto& entry : listFolder (false))
        presets.push_back (entry.record);
    return presets;
}

std::vector<LocalPresetStore::Entry> LocalPresetStore::listFolder (bool withMarkedDeleted) const
{
    std::vector<Entry> entries;

    if (! enabled())
        return entries;

    const juce::String path = getLocalPresetsPath();
    if (path.isEmpty())
        return entries;

    removeStaleTemporaries (juce::File (path));

    // Hidden files are writes in progress or left by a crash.
    for (const auto& found : juce::RangedDirectoryIterator (juce::File (path), false, kListPattern,
                                                             juce::File::findFiles | juce::File::ignoreHiddenFiles))
    {
        Entry entry;
        entry.file = found.getFile();

        if (! readHead (entry.file, entry.record))
            continue;

        const Marker deleteMark = markerKind (sibling (entry.file, kMarkedDeleteSuffix));
        entry.markedDelete = deleteMark == Marker::file;
        if (entry.markedDelete && ! withMarkedDeleted)
            continue;

        const Marker needSyncMark = markerKind (sibling (entry.file, kNeedSyncSuffix));
        entry.needSync = needSyncMark == Marker::file;
        entry.oddMarker = deleteMark == Marker::odd || needSyncMark == Marker::odd;
        entry.modified = entry.file.getLastModificationTime();
        if (entry.record.getLastModified().empty())
            entry.record.setLastModified (formatTime (entry.modified).toStdString());

        entries.push_back (std::move (entry));
    }

    return entries;
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
