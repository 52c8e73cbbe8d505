#pragma once

#include <JuceHeader.h>

/** Told when a PointInfoTimer runs out. */
class PointInfoTimerListener
{
public:
    virtual ~PointInfoTimerListener() = default;
    virtual void onPointInfoTimerTimeout() = 0;
};

/** A one-shot timer: runs out once, tells its listener, and stays stopped. */
class PointInfoTimer : public juce::Timer
{
public:
    explicit PointInfoTimer (PointInfoTimerListener& l) : listener (l) {}
    ~PointInfoTimer() override { stopTimer(); }

    void timerCallback() override;

private:
    PointInfoTimerListener& listener;

    JUCE_DECLARE_NON_COPYABLE (PointInfoTimer)
};
