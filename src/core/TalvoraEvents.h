#pragma once

// Event codes of the per-instance event bus and the interface of everything
// that receives them. Plain C++ so that voices and tests can use it without
// pulling in JUCE.

#include <cstdint>
#include <string>
#include <utility>

enum EventType : std::int32_t
{
    ParameterChanged        = 1000, // value: parameter index
    MultiChoiceChanged      = 1001, // value: id of the choice widget
    AmpEnvelopeChanged      = 1002, // value: parameter index
    FilterEnvelopeChanged   = 1003, // value: parameter index
    OscilloscopeModeChanged = 1004,
    GuiPageCreated          = 1005,
    Osc4PointsChanged       = 1006,
    PresetLoaded            = 1008,
    TuningChanged           = 1009,
    AppearanceChanged       = 1010,
    GlobalAppearanceChanged = 1011, // only ever sent through EventAggregator::sendGlobalEvent
    LogoClicked             = 1013
};

// Receives events from an EventAggregator it registered with. receiveEvent
// runs on the sender's thread (audio, automation or message thread), so
// implementations keep it short and must not block.
class EventListener
{
public:
    EventListener() = default;
    explicit EventListener (std::string debugName) : name (std::move (debugName)) {}

    virtual void receiveEvent (EventType type, int value) = 0;
    virtual ~EventListener() = default;

    // For diagnostics only.
    std::string name;
};
