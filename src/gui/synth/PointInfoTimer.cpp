#include "gui/synth/PointInfoTimer.h"

void PointInfoTimer::timerCallback()
{
    // Stopped first: the listener may start it again.
    stopTimer();
    listener.onPointInfoTimerTimeout();
}
