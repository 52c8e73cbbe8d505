#pragma once

// A small tmpfs for tests that run a folder out of space or inodes. Mounting
// needs privileges a container may not grant: mounted() then says no and the
// test skips that variant (the injected failures cover the same steps).

#include <juce_core/juce_core.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace smalldisc
{
class Tmpfs
{
public:
    // At most 64 files (and folders) and 1 MiB.
    explicit Tmpfs (const juce::File& where) : dir (where)
    {
        if (dir.createDirectory().wasOk())
            ok = ::mount ("tmpfs", dir.getFullPathName().toRawUTF8(), "tmpfs", 0, "size=1m,nr_inodes=64,mode=0700") == 0;
    }
    ~Tmpfs()
    {
        if (ok)
            ::umount2 (dir.getFullPathName().toRawUTF8(), MNT_DETACH);
    }
    Tmpfs (const Tmpfs&) = delete;

    bool mounted() const { return ok; }

    // Nothing in it can change any more, whoever asks (root included).
    bool makeReadOnly()
    {
        return ok && ::mount ("tmpfs", dir.getFullPathName().toRawUTF8(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

    // Takes every inode but `freeInodes` with empty files in filler/.
    bool leaveInodes (int freeInodes)
    {
        const juce::File filler = fillerDir();
        int made = 0;
        for (; made < 100; ++made)
            if (! create (filler.getChildFile ("i" + juce::String (made))))
                break;
        for (int i = made - 1; i >= 0 && made - i <= freeInodes; --i)
            filler.getChildFile ("i" + juce::String (i)).deleteFile();
        return made < 100 && made >= freeInodes;
    }

    // Takes all space but `freeBytes` (rounded to pages) with one file.
    bool leaveBytes (juce::int64 freeBytes)
    {
        const juce::File blob = fillerDir().getChildFile ("blob");
        const int fd = ::open (blob.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        static const char chunk[4096] = {};
        juce::int64 size = 0;
        for (int i = 0; i < 1024 && ::write (fd, chunk, sizeof (chunk)) == (ssize_t) sizeof (chunk); ++i)
            size += (juce::int64) sizeof (chunk);
        const bool full = size < 1024 * 4096;
        const bool cut = ::ftruncate (fd, std::max<juce::int64> (0, size - freeBytes)) == 0;
        ::close (fd);
        return full && cut;
    }

    // Space and inodes back.
    void release() { fillerDir().deleteRecursively(); }

private:
    juce::File fillerDir() const
    {
        const juce::File f = dir.getChildFile ("filler");
        f.createDirectory();
        return f;
    }

    static bool create (const juce::File& f)
    {
        const int fd = ::open (f.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd >= 0)
            ::close (fd);
        return fd >= 0;
    }

    juce::File dir;
    bool ok = false;
};
} // namespace smalldisc
