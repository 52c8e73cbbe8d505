#pragma once

// One instance's handle on the settings file that every instance of the
// process shares: the first proxy loads the file, later proxies share the
// loaded object, the last one saves and deletes it. All key access goes
// through the helpers below, which take globalPropertyProxyLock and save at
// once after a write, so other instances and other processes see the change.
//
// The file holds the preset-server password, so it is kept readable by its
// owner only.

#include <juce_core/juce_core.h>
#include <juce_events/juce_events.h>
#include <juce_data_structures/juce_data_structures.h>

// Keys of the settings file, spelt as they are stored.
namespace settingsKeys
{
    constexpr const char* knobSliderStyle       = "knobSliderStyle";       // int, slider style of knobs
    constexpr const char* knobVelocitySensitive = "knobVelocitySensitive"; // int 0/1
    constexpr const char* draw_shadows          = "draw_shadows";          // int 0/1, "3d look"
    constexpr const char* thin_line_knobs       = "thin_line_knobs";       // int 0/1
    constexpr const char* color_set             = "color_set";             // int 0..7, colour scheme
    constexpr const char* enableLocalCache      = "enableLocalCache";      // int 0/1, local preset saving
    constexpr const char* OScopeBlur            = "OScopeBlur";            // int 0/1
    constexpr const char* email                 = "email";                 // string, preset author and login
    constexpr const char* password              = "password";              // string, preset-server password
    constexpr const char* presetServerAddressPage = "presetServerAddressPage"; // string, URL that answers with the server's host
    constexpr const char* presetServerHost      = "presetServerHost";      // string, host used until that page answers
    constexpr const char* presetServerPort      = "presetServerPort";      // int, port of the preset server
}

// Defaults on read. Every reader of a key uses the same default, so a new
// user's window does not change scheme or style between two reads.
namespace settingsDefaults
{
    constexpr int knobSliderStyle       = 0; // 0 stands for the horizontal-vertical drag style
    constexpr int knobVelocitySensitive = 0;
    constexpr int drawShadows           = 1; // applied as stored: off survives a restart
    constexpr int thinLineKnobs         = 1;
    constexpr int colorSet              = 5;
    constexpr int enableLocalCache      = 0;
    // The scope starts blurred; the menu's tick and the page agree on that.
    constexpr int oscopeBlurInMenu      = 1;
    // Kept for readers written before the defaults were made the same.
    constexpr int colorSetOnPageCreate    = colorSet;
    constexpr int colorSetInMenuAndEditor = colorSet;
    // "email" and "password" default to the empty text.
    constexpr const char* presetServerAddressPage = "http://127.0.0.1:8888/server_address";
    constexpr const char* presetServerHost        = "127.0.0.1";
    constexpr int presetServerPort                = 8888;
}

class PropertyProxy : public juce::ChangeBroadcaster,
                      public juce::ChangeListener
{
public:
    // Opens the shared file (loading it under the inter-process lock) or joins
    // the one already open. Never writes the file; at most it tightens the
    // permissions of one left by an earlier version.
    PropertyProxy();

    // The last proxy of the process saves unsaved changes and deletes the file object.
    ~PropertyProxy() override;

    // Passes any change message on to this proxy's own listeners, asynchronously.
    void changeListenerCallback (juce::ChangeBroadcaster* source) override;

    // Options of the shared file: "TalvoraXL.settings" in a "TalvoraXL" folder
    // of the user's application-data folder, XML, per user, saved 3 s after an
    // unsaved change at the latest, guarded by a per-user inter-process lock.
    static juce::PropertiesFile::Options getPropertyOptions();

    // Where the settings file lives; local presets sit in this folder too.
    static juce::File getSettingsFile();
    static juce::File getSettingsFolder();

    // Name of the inter-process lock guarding the file against other
    // processes. Per user: a lock file left by another user must not block us.
    static juce::String getInterProcessLockName();

    //==============================================================================
    // Key access. Each call takes globalPropertyProxyLock; with no file object
    // reads give the default and writes do nothing. A write saves at once if
    // the value changed; writing the stored value again leaves the disk alone.
    int getIntValue (juce::StringRef key, int defaultValue) const;
    bool getBoolValue (juce::StringRef key, bool defaultValue) const;
    juce::String getStringValue (juce::StringRef key, const juce::String& defaultValue = {}) const;
    void setValue (juce::StringRef key, const juce::var& value);

    // Saves if there are unsaved changes. Returns false if a save failed.
    bool saveIfNeeded();
    // Saves unconditionally. Returns false if the save failed.
    bool save();
    // Re-reads the file from disk (other processes may have written it).
    bool reload();

    bool hasFile() const noexcept { return properties != nullptr; }

    // Live proxies in the process.
    static int getNumProxies();

    //==============================================================================
    // The shared file object. Use the helpers above; touch this directly only
    // while holding globalPropertyProxyLock.
    juce::PropertiesFile* properties = nullptr;

    // Recursive. Guards the shared file object, the proxy count and every key access.
    static juce::CriticalSection globalPropertyProxyLock;

private:
    JUCE_DECLARE_NON_COPYABLE (PropertyProxy)
};
