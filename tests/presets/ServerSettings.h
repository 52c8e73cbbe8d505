#pragma once

// Points a processor's settings at a preset server on this machine's port,
// as a user's settings file would.

#include <string>

#include <juce_core/juce_core.h>

#include "core/PropertyProxy.h"

inline void pointSettingsAt (PropertyProxy& settings, int port)
{
    settings.setValue (settingsKeys::presetServerAddressPage,
                       juce::String ("http://127.0.0.1:" + std::to_string (port) + "/server_address"));
    settings.setValue (settingsKeys::presetServerHost, "127.0.0.1");
    settings.setValue (settingsKeys::presetServerPort, port);
}
