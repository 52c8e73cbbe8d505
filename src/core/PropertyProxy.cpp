#include "core/PropertyProxy.h"

#include <cstdlib>

#if ! JUCE_WINDOWS
 #include <sys/stat.h>
 #include <unistd.h>
#endif

juce::CriticalSection PropertyProxy::globalPropertyProxyLock;

namespace
{
    constexpr const char* applicationName = "TalvoraXL";

    // Owner-only permissions. JUCE saves through a temporary file and a rename,
    // so every save makes a new file with default permissions: tighten it each time.
    void restrictToOwner (const juce::File& f)
    {
       #if ! JUCE_WINDOWS
        if (f.exists())
            ::chmod (f.getFullPathName().toRawUTF8(), f.isDirectory() ? S_IRWXU : (S_IRUSR | S_IWUSR));
       #else
        juce::ignoreUnused (f);
       #endif
    }

    // A folder we create ourselves is private from the start, which also hides
    // the temporary file of a save before its permissions are tightened.
    void prepareFolder (const juce::File& folder)
    {
        if (! folder.isDirectory() && folder.createDirectory())
            restrictToOwner (folder);
    }

    // Call with globalPropertyProxyLock held.
    bool saveOwnerOnly (juce::PropertiesFile& file, bool onlyIfNeeded)
    {
        if (onlyIfNeeded && ! file.needsToBeSaved())
            return true;

        prepareFolder (file.getFile().getParentDirectory());
        const bool ok = file.save();
        restrictToOwner (file.getFile());
        return ok;
    }

    // The shared file object. Its delayed save (3 s after a direct change)
    // goes through the same lock and permission rule as every other save.
    class SharedSettingsFile final : public juce::PropertiesFile
    {
    public:
        explicit SharedSettingsFile (const Options& o) : juce::PropertiesFile (o)
        {
            restrictToOwner (getFile());
        }

        ~SharedSettingsFile() override
        {
            const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
            saveOwnerOnly (*this, true);
            // Whether that worked or not, the base class must not save again
            // behind our back with default permissions.
            setNeedsToBeSaved (false);
        }

    private:
        void timerCallback() override
        {
            const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
            saveOwnerOnly (*this, true);
        }
    };

    SharedSettingsFile* staticProperties = nullptr;
    int proxys = 0;

    // XDG says a relative XDG_CONFIG_HOME is to be ignored. JUCE itself does
    // not look at the variable, only at ~/.config/user-dirs.dirs.
    juce::File userConfigRoot()
    {
       #if JUCE_LINUX || JUCE_BSD
        if (const char* xdg = std::getenv ("XDG_CONFIG_HOME"))
        {
            const juce::String path = juce::CharPointer_UTF8 (xdg);

            if (juce::File::isAbsolutePath (path))
                return juce::File (path);
        }
       #endif

        return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory);
    }

    // One per process, kept until the plug-in is unloaded.
    juce::InterProcessLock& interProcessLock()
    {
        static juce::InterProcessLock lock (PropertyProxy::getInterProcessLockName());
        return lock;
    }
}

//==============================================================================
PropertyProxy::PropertyProxy()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);

    if (staticProperties != nullptr)
    {
        ++proxys;
    }
    else
    {
        staticProperties = new SharedSettingsFile (getPropertyOptions());
        proxys = 1;
    }

    properties = staticProperties;
}

PropertyProxy::~PropertyProxy()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);

    properties = nullptr;

    if (--proxys <= 0)
    {
        proxys = 0;
        delete staticProperties;
        staticProperties = nullptr;
    }
}

void PropertyProxy::changeListenerCallback (juce::ChangeBroadcaster*)
{
    // Does nothing when nobody listens to this proxy.
    sendChangeMessage();
}

//==============================================================================
juce::String PropertyProxy::getInterProcessLockName()
{
   #if JUCE_WINDOWS
    return "propertyFileLock_" + juce::File::createLegalFileName (juce::SystemStats::getLogonName());
   #else
    return "propertyFileLock_" + juce::String ((juce::int64) ::getuid());
   #endif
}

juce::PropertiesFile::Options PropertyProxy::getPropertyOptions()
{
    juce::PropertiesFile::Options o;
    o.applicationName          = applicationName;
    o.filenameSuffix           = ".settings";
    o.osxLibrarySubFolder      = "Application Support";
    o.commonToAllUsers         = false;
    o.ignoreCaseOfKeyNames     = false;
    o.doNotSave                = false;
    o.millisecondsBeforeSaving = 3000;
    o.storageFormat            = juce::PropertiesFile::storeAsXML;
    o.processLock              = &interProcessLock();

   #if JUCE_LINUX || JUCE_BSD || JUCE_ANDROID
    // On these systems JUCE puts folderName directly under the home folder;
    // an absolute folder name moves it to the user's configuration folder.
    o.folderName = userConfigRoot().getChildFile (applicationName).getFullPathName();
   #else
    o.folderName = applicationName;
   #endif

    return o;
}

juce::File PropertyProxy::getSettingsFile()
{
    return getPropertyOptions().getDefaultFile();
}

juce::File PropertyProxy::getSettingsFolder()
{
    return getSettingsFile().getParentDirectory();
}

int PropertyProxy::getNumProxies()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return proxys;
}

//==============================================================================
int PropertyProxy::getIntValue (juce::StringRef key, int defaultValue) const
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties != nullptr ? properties->getIntValue (key, defaultValue) : defaultValue;
}

bool PropertyProxy::getBoolValue (juce::StringRef key, bool defaultValue) const
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties != nullptr ? properties->getBoolValue (key, defaultValue) : defaultValue;
}

juce::String PropertyProxy::getStringValue (juce::StringRef key, const juce::String& defaultValue) const
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties != nullptr ? properties->getValue (key, defaultValue) : defaultValue;
}

void PropertyProxy::setValue (juce::StringRef key, const juce::var& value)
{
    const juce::ScopedLock sl (globalPropertyProxyLock);

    if (properties == nullptr)
        return;

    properties->setValue (key, value);
    saveOwnerOnly (*properties, true);
}

bool PropertyProxy::saveIfNeeded()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties == nullptr || saveOwnerOnly (*properties, true);
}

bool PropertyProxy::save()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties != nullptr && saveOwnerOnly (*properties, false);
}

bool PropertyProxy::reload()
{
    const juce::ScopedLock sl (globalPropertyProxyLock);
    return properties != nullptr && properties->reload();
}
