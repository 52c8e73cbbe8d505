#pragma once

// Things users (or accidents) leave in a folder that are not files: a FIFO,
// a link to a device, a directory. A reader that opens the FIFO blocks until
// somebody writes to it; FifoGuard is that somebody once its time is up, so a
// test of such a reader fails instead of hanging the run.

#include <juce_core/juce_core.h>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oddities
{
inline bool makeFifo (const juce::File& f) { return ::mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; }

inline bool makeLink (const juce::File& link, const char* target)
{
    return ::symlink (target, link.getFullPathName().toRawUTF8()) == 0;
}

inline bool isFifo (const juce::File& f)
{
    struct stat st;
    return ::lstat (f.getFullPathName().toRawUTF8(), &st) == 0 && S_ISFIFO (st.st_mode);
}

// A FIFO, a link to /dev/zero and a directory named as presets in the folder
// ("fifo", "zero", "dir"), each with a ".needsync" beside it. The FIFO's file.
inline juce::File addOddPresets (const juce::File& folder, const juce::String& extension)
{
    const juce::File fifo = folder.getChildFile ("fifo" + extension);
    bool made = makeFifo (fifo) && makeLink (folder.getChildFile ("zero" + extension), "/dev/zero")
                && folder.getChildFile ("dir" + extension).createDirectory().wasOk();
    for (const char* name : { "fifo", "zero", "dir" })
        made = made && folder.getChildFile (name + extension + ".needsync").create().wasOk();
    return made ? fifo : juce::File();
}

// Every entry under dir with its kind and, for files, its bytes, hidden ones
// included, sorted: equal images mean nothing in the folder changed.
inline juce::StringArray folderImage (const juce::File& dir)
{
    juce::StringArray image;
    for (const auto& e : juce::RangedDirectoryIterator (dir, true, "*", juce::File::findFilesAndDirectories))
    {
        const juce::File f = e.getFile();
        juce::String what;
        if (isFifo (f))
            what = "fifo";
        else if (f.isSymbolicLink())
            what = "link " + f.getLinkedTarget().getFullPathName();
        else if (f.isDirectory())
            what = "dir";
        else
        {
            juce::MemoryBlock bytes;
            f.loadFileAsData (bytes);
            what = bytes.toBase64Encoding();
        }
        image.add (f.getRelativePathFrom (dir) + " " + what);
    }
    image.sort (false);
    return image;
}

// After afterMs, writes into the FIFO whenever a reader holds it open, so a
// reader stuck in it gets its bytes and comes back; fired() tells whether that
// ever had to happen.
class FifoGuard : private juce::Thread
{
public:
    FifoGuard (const juce::File& fifoIn, int afterMsIn) : juce::Thread ("fifo guard"), fifo (fifoIn), afterMs (afterMsIn)
    {
        startThread();
    }
    ~FifoGuard() override { stopThread (2000); }

    bool fired() const { return wrote.load(); }

private:
    void run() override
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) afterMs;
        while (juce::Time::getMillisecondCounter() < end)
            if (threadShouldExit())
                return;
            else
                wait (20);
        const juce::String path = fifo.getFullPathName();
        while (! threadShouldExit())
        {
            // Opens only while a reader has it open; never blocks itself.
            const int fd = ::open (path.toRawUTF8(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
            {
                static const char bytes[4096] = {};
                wrote = ::write (fd, bytes, sizeof (bytes)) > 0 || wrote.load();
                ::close (fd);
            }
            wait (20);
        }
    }

    const juce::File fifo;
    const int afterMs;
    std::atomic<bool> wrote { false };
};
} // namespace oddities
