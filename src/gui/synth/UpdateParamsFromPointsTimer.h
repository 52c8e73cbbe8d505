#pragma once

#include <JuceHeader.h>

#include <functional>

/**
    Spaces out the writes of a knob that keeps turning: the first change is
    written 50 ms later, and while changes keep coming, every 100 ms.
*/
class UpdateParamsFromPointsTimer : public juce::Timer
{
public:
    /** write (last): last is true when no change came in since this write was due. */
    explicit UpdateParamsFromPointsTimer (std::function<void (bool last)> write) : writePoints (std::move (write)) {}
    ~UpdateParamsFromPointsTimer() override { stopTimer(); }

    /** A change to write: starts the timer at 50 ms, or marks one pending. */
    void changed();
    /** Drops whatever was due (the points it would write are gone). */
    void cancel();

    bool isPending() const noexcept { return pending; }
    void timerCallback() override;

private:
    std::function<void (bool)> writePoints;
    bool pending = false;

    JUCE_DECLARE_NON_COPYABLE (UpdateParamsFromPointsTimer)
};
