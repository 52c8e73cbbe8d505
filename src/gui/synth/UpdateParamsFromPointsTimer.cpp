#include "gui/synth/UpdateParamsFromPointsTimer.h"

void UpdateParamsFromPointsTimer::changed()
{
    if (isTimerRunning())
        pending = true;
    else
        startTimer (50);
}

void UpdateParamsFromPointsTimer::cancel()
{
    stopTimer();
    pending = false;
}

void UpdateParamsFromPointsTimer::timerCallback()
{
    stopTimer();
    const bool more = pending;
    pending = false;
    if (more)
        startTimer (100);
    if (writePoints)
        writePoints (! more);
}
