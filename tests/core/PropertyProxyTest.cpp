#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"

namespace juce
{
// JUCE's own step of its message loop (declared the same way inside JUCE);
// lets a test run the delayed save without a modal loop.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
// Points the user's configuration folder at a fresh temporary folder for the
// length of one test, so no test ever touches the real home folder.
class PropertyProxyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The shared file object belongs to whoever opened it first; a proxy
        // left over from elsewhere would point at another folder.
        ASSERT_EQ (PropertyProxy::getNumProxies(), 0);

        previousConfigHome = getEnv ("XDG_CONFIG_HOME");
        previousHome = getEnv ("HOME");

        // A folder of its own: ctest runs these cases in parallel processes.
        std::string folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                 .getChildFile ("talvora_settings_test_XXXXXX").getFullPathName().toStdString();
        ASSERT_TRUE (juce::File (folder).getParentDirectory().createDirectory().wasOk());
        ASSERT_NE (::mkdtemp (folder.data()), nullptr);
        root = juce::File (folder);
        setConfigHome (root.getFullPathName().toStdString());

        // Belt and braces: even a fall-back to ~/.config stays in the sandbox.
        ::setenv ("HOME", root.getChildFile ("home").getFullPathName().toRawUTF8(), 1);
    }

    void TearDown() override
    {
        restoreEnv ("XDG_CONFIG_HOME", previousConfigHome);
        restoreEnv ("HOME", previousHome);
        root.deleteRecursively();
    }

    static std::optional<std::string> getEnv (const char* name)
    {
        if (const char* v = std::getenv (name))
            return std::string (v);
        return std::nullopt;
    }

    static void restoreEnv (const char* name, const std::optional<std::string>& value)
    {
        if (value)
            ::setenv (name, value->c_str(), 1);
        else
            ::unsetenv (name);
    }

    static void setConfigHome (const std::string& path) { ::setenv ("XDG_CONFIG_HOME", path.c_str(), 1); }

    juce::File expectedFile() const { return root.getChildFile ("TalvoraXL").getChildFile ("TalvoraXL.settings"); }

    // Reads the file on disk with an object of its own, not the shared one.
    juce::String readFromDisk (const juce::String& key) const
    {
        juce::PropertiesFile reader (expectedFile(), juce::PropertiesFile::Options());
        return reader.getValue (key, "<missing>");
    }

    static struct stat statOf (const juce::File& f)
    {
        struct stat st {};
        EXPECT_EQ (::stat (f.getFullPathName().toRawUTF8(), &st), 0) << f.getFullPathName();
        return st;
    }

    static unsigned mode (const juce::File& f) { return statOf (f).st_mode & 0777; }

    juce::File root;
    std::optional<std::string> previousConfigHome, previousHome;
};
} // namespace

TEST_F (PropertyProxyTest, FileLivesInTheUserConfigurationFolder)
{
    EXPECT_EQ (PropertyProxy::getSettingsFile(), expectedFile());
    EXPECT_EQ (PropertyProxy::getPropertyOptions().getDefaultFile(), expectedFile());
    EXPECT_EQ (PropertyProxy::getSettingsFolder(), root.getChildFile ("TalvoraXL"));

    const auto juceConfig = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
                                .getChildFile ("TalvoraXL").getChildFile ("TalvoraXL.settings");

    // A relative value is not a valid configuration folder and is ignored.
    setConfigHome ("relative/folder");
    EXPECT_EQ (PropertyProxy::getSettingsFile(), juceConfig);

    ::unsetenv ("XDG_CONFIG_HOME");
    EXPECT_EQ (PropertyProxy::getSettingsFile(), juceConfig);
}

TEST_F (PropertyProxyTest, MissingFileReadsDefaultsAndFirstChangeCreatesIt)
{
    {
        PropertyProxy proxy;
        ASSERT_TRUE (proxy.hasFile());

        EXPECT_EQ (proxy.getIntValue (settingsKeys::color_set, settingsDefaults::colorSetOnPageCreate), 5);
        EXPECT_EQ (proxy.getIntValue (settingsKeys::enableLocalCache, settingsDefaults::enableLocalCache), 0);
        EXPECT_TRUE (proxy.getBoolValue (settingsKeys::OScopeBlur, true));
        EXPECT_TRUE (proxy.getStringValue (settingsKeys::email).isEmpty());

        // Opening and reading must not write anything.
        EXPECT_FALSE (expectedFile().getParentDirectory().exists());

        proxy.setValue (settingsKeys::knobSliderStyle, 3);
        EXPECT_TRUE (expectedFile().existsAsFile());
        EXPECT_EQ (readFromDisk (settingsKeys::knobSliderStyle), "3");

        // Stored as XML, the key spelt as it always was.
        const auto xml = juce::parseXML (expectedFile());
        ASSERT_NE (xml, nullptr);
        EXPECT_TRUE (xml->hasTagName ("PROPERTIES"));
        auto* value = xml->getChildByAttribute ("name", "knobSliderStyle");
        ASSERT_NE (value, nullptr);
        EXPECT_EQ (value->getIntAttribute ("val"), 3);
    }

    // A later proxy loads the file again from disk.
    PropertyProxy again;
    EXPECT_EQ (again.getIntValue (settingsKeys::knobSliderStyle, 0), 3);
}

TEST_F (PropertyProxyTest, InstancesShareOneSettingsObject)
{
    auto first = std::make_unique<BrevonAudioProcessor>();
    BrevonAudioProcessor second;
    auto& a = first->getPropertyProxy();
    auto& b = second.getPropertyProxy();
    EXPECT_EQ (PropertyProxy::getNumProxies(), 2);
    ASSERT_NE (a.properties, nullptr);
    EXPECT_EQ (a.properties, b.properties);

    a.setValue (settingsKeys::color_set, 3);
    EXPECT_EQ (b.getIntValue (settingsKeys::color_set, settingsDefaults::colorSetInMenuAndEditor), 3);
    EXPECT_EQ (readFromDisk (settingsKeys::color_set), "3");

    // A worker thread of the other instance sees a change at once.
    a.setValue (settingsKeys::email, "someone@example.invalid");
    juce::String seenOnWorker;
    std::thread worker ([&] { seenOnWorker = b.getStringValue (settingsKeys::email); });
    worker.join();
    EXPECT_EQ (seenOnWorker, "someone@example.invalid");

    auto* shared = b.properties;
    first.reset();
    EXPECT_EQ (PropertyProxy::getNumProxies(), 1);
    EXPECT_EQ (b.properties, shared);
    EXPECT_EQ (b.getIntValue (settingsKeys::color_set, 0), 3);
}

TEST_F (PropertyProxyTest, LastProxySavesUnsavedChanges)
{
    {
        PropertyProxy a, b;

        {
            // A direct change that nobody saved.
            const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
            a.properties->setValue (settingsKeys::thin_line_knobs, 1);
            EXPECT_TRUE (a.properties->needsToBeSaved());
        }

        EXPECT_FALSE (expectedFile().exists());
    }

    EXPECT_EQ (PropertyProxy::getNumProxies(), 0);
    EXPECT_EQ (readFromDisk (settingsKeys::thin_line_knobs), "1");
    EXPECT_EQ (mode (expectedFile()), 0600u);
}

TEST_F (PropertyProxyTest, SavesKeepTheFilePrivateAndSkipUnchangedValues)
{
    PropertyProxy proxy;
    proxy.setValue (settingsKeys::password, "first secret");
    ASSERT_TRUE (expectedFile().existsAsFile());
    EXPECT_EQ (mode (expectedFile()), 0600u);
    EXPECT_EQ (mode (expectedFile().getParentDirectory()), 0700u);

    // Back-date the file so any rewrite would show in its modification time;
    // a rewrite also replaces the file, so its inode would change.
    const auto oldTime = juce::Time (2001, 0, 1, 12, 0);
    ASSERT_TRUE (expectedFile().setLastModificationTime (oldTime));
    const auto inodeBefore = statOf (expectedFile()).st_ino;
    const auto contentBefore = expectedFile().loadFileAsString();

    proxy.setValue (settingsKeys::password, "first secret");
    EXPECT_FALSE (proxy.properties->needsToBeSaved());
    EXPECT_EQ (expectedFile().getLastModificationTime(), oldTime);
    EXPECT_EQ (statOf (expectedFile()).st_ino, inodeBefore);
    EXPECT_EQ (expectedFile().loadFileAsString(), contentBefore);

    // Every save makes a new file: it must stay private after later saves too.
    proxy.setValue (settingsKeys::password, "second secret");
    EXPECT_NE (expectedFile().getLastModificationTime(), oldTime);
    EXPECT_EQ (readFromDisk (settingsKeys::password), "second secret");
    EXPECT_EQ (mode (expectedFile()), 0600u);
    EXPECT_TRUE (proxy.save());
    EXPECT_EQ (mode (expectedFile()), 0600u);
}

TEST_F (PropertyProxyTest, DelayedSaveOfADirectChangeKeepsTheFilePrivate)
{
    ASSERT_NE (juce::MessageManager::getInstanceWithoutCreating(), nullptr);
    ASSERT_TRUE (juce::MessageManager::getInstance()->isThisTheMessageThread());

    PropertyProxy proxy;
    proxy.setValue (settingsKeys::email, "someone@example.invalid");

    {
        // A change that bypasses the helpers is saved by the file's own timer.
        const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
        proxy.properties->setValue (settingsKeys::password, "late secret");
    }

    const auto deadline = juce::Time::getMillisecondCounter() + 8000;
    while (proxy.properties->needsToBeSaved() && juce::Time::getMillisecondCounter() < deadline)
    {
        juce::dispatchNextMessageOnSystemQueue (true);
        juce::Thread::sleep (5);
    }

    EXPECT_EQ (readFromDisk (settingsKeys::password), "late secret");
    EXPECT_EQ (mode (expectedFile()), 0600u);
}

TEST_F (PropertyProxyTest, LooseFileFromEarlierIsTightenedWhenOpened)
{
    ASSERT_TRUE (expectedFile().getParentDirectory().createDirectory().wasOk());
    {
        juce::PropertiesFile writer (expectedFile(), juce::PropertiesFile::Options());
        writer.setValue (settingsKeys::email, "old@example.invalid");
        ASSERT_TRUE (writer.save());
    }
    ASSERT_EQ (::chmod (expectedFile().getFullPathName().toRawUTF8(), 0644), 0);

    PropertyProxy proxy;
    EXPECT_EQ (mode (expectedFile()), 0600u);
    EXPECT_EQ (proxy.getStringValue (settingsKeys::email), "old@example.invalid");
}

TEST_F (PropertyProxyTest, InterProcessLockIsPerUser)
{
    const auto name = PropertyProxy::getInterProcessLockName();
    EXPECT_NE (name, "propertyFileLock");
    EXPECT_TRUE (name.startsWith ("propertyFileLock"));

    PropertyProxy proxy; // loading takes the lock, which creates its lock file

    juce::File lockFolder ("/var/tmp");
    if (! lockFolder.isDirectory())
        lockFolder = juce::File ("/tmp");

    const auto lockFile = lockFolder.getChildFile (name);
    ASSERT_TRUE (lockFile.existsAsFile()) << lockFile.getFullPathName();
    EXPECT_EQ (statOf (lockFile).st_uid, ::getuid());
}

TEST_F (PropertyProxyTest, ProxyPassesChangeMessagesOnAsynchronously)
{
    juce::MessageManager::getInstance();

    struct Listener : juce::ChangeListener
    {
        void changeListenerCallback (juce::ChangeBroadcaster* source) override
        {
            ++calls;
            lastSource = source;
        }
        int calls = 0;
        juce::ChangeBroadcaster* lastSource = nullptr;
    };

    PropertyProxy proxy;
    Listener listener;
    proxy.addChangeListener (&listener);

    proxy.changeListenerCallback (nullptr);
    EXPECT_EQ (listener.calls, 0); // not delivered on the caller's stack

    proxy.dispatchPendingMessages();
    EXPECT_EQ (listener.calls, 1);
    EXPECT_EQ (listener.lastSource, &proxy);

    proxy.removeChangeListener (&listener);
}
