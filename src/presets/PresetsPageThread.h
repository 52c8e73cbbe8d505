#pragma once

// The base of the preset workers: one thread per server exchange, so that the
// presets page never blocks. The page makes a worker with its inputs, starts
// it, and reads success, status and the results once the thread has stopped.
//
// Everything a worker needs from the plug-in (login, server address, preset
// bytes) is taken when it is made, on the message thread; run() never touches
// the processor, which may be gone by the time it ends.

#include <juce_core/juce_core.h>

#include <string>

#include "presets/PresetServerConnector.h"

class BrevonAudioProcessor;
class PropertyProxy;

class PresetsPageThread : public juce::Thread
{
public:
    // Reads the server address settings and, when needsLogin, the login from
    // the processor's settings (or the shared settings file when there is no
    // processor).
    PresetsPageThread (const juce::String& threadName, BrevonAudioProcessor* processor, bool initialSuccess,
                       bool needsLogin);

    // Asks the thread to stop and waits for it: a stop request ends any
    // exchange within about a second.
    ~PresetsPageThread() override;

    bool success;
    juce::String status;
    BrevonAudioProcessor* processor; // not owned; never used by run()

    // The least time between the starts of two exchanges of the process.
    static constexpr double kSpacingMs = 1001.0;

    // How long a worker started now would wait for its turn, in ms.
    static double msUntilNextSlot();

    // The turn this worker was given and when it began its exchange, on the
    // monotonic clock in ms; -1 until then.
    double connectionSlotMs = -1.0, connectedAtMs = -1.0;

protected:
    // Waits for this worker's turn to connect: at least kSpacingMs after the
    // previous worker's turn and after the end of its exchange, on the
    // monotonic clock. Turns are handed out in order under a lock, so workers
    // started together go one after another. False when asked to stop.
    bool waitForConnectionSlot();

    // Marks the end of an exchange; the next turn is counted from here too.
    void connectionDone();

    PresetServerConnector makeConnector() const;
    bool stopRequested() const { return threadShouldExit(); }

    PresetServerEndpoint endpoint;
    std::string email, password;
};
