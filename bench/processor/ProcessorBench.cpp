// Whole-processor benchmarks: the block driver with its voices and master
// chain, exactly as a host drives the plug-in, with held notes spread over
// the keyboard. Counters:
//   rtf      CPU time of a block divided by the time the block lasts
//   worst_x  the slowest block divided by the mean block
// Unit entries ("Voice/...") play one note with one part of the voice on.

#include <JuceHeader.h>
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <string>

#include "RenderScenarios.h"

namespace
{
double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double) ts.tv_sec + ts.tv_nsec * 1.0e-9;
}

void playScenario (benchmark::State& state, const render::Scenario& scenario, double rate, int block, int voices)
{
    render::ScenarioPlayer player (scenario, rate, block, voices, 1);

    // Past the attack into the held notes before measuring.
    juce::MidiBuffer midi;
    player.addNoteOns (midi, 0);
    const int settleBlocks = std::max (1, (int) (0.25 * rate) / block);
    for (int i = 0; i < settleBlocks; ++i)
    {
        player.renderBlock (midi, block);
        midi.clear();
    }

    double total = 0.0, worst = 0.0;
    int64_t blocks = 0;
    for (auto _ : state)
    {
        const double t0 = threadCpuSeconds();
        const auto& out = player.renderBlock (midi, block);
        const double t = threadCpuSeconds() - t0;
        benchmark::DoNotOptimize (out.getReadPointer (0));
        total += t;
        worst = std::max (worst, t);
        ++blocks;
    }
    const double mean = total / (double) std::max<int64_t> (1, blocks);
    state.counters["rtf"] = mean / (block / rate);
    state.counters["worst_x"] = worst / std::max (mean, 1.0e-12);
    state.counters["voices"] = (double) player.getNotes().size();
    state.SetItemsProcessed (blocks * block);
}

void registerScenario (const char* name, double rate, int block, int voices)
{
    const auto* s = render::findScenario (name);
    if (s == nullptr)
        return;
    const std::string label = std::string ("Processor/") + name + "/rate:" + std::to_string ((int) rate)
                              + "/block:" + std::to_string (block) + "/voices:" + std::to_string (voices);
    benchmark::RegisterBenchmark (label.c_str(), [s, rate, block, voices] (benchmark::State& st) {
        playScenario (st, *s, rate, block, voices);
    })->Unit (benchmark::kMicrosecond);
}

// Single parts of a voice, one note each.
const render::Scenario unitScenarios[] = {
    { "osc1-stack10-pwm", "oscillator 1 alone: ten stacked copies with pulse width", 1,
      [] (BrevonAudioProcessor& p) {
          render::set (p, params::kOsc2Volume, 0.0);
          render::set (p, params::kOsc1Stack, 1.0);
          render::set (p, params::kOsc1Shape, 0.8);
          render::set (p, params::kOsc1PwmAmount, 0.5);
          render::set (p, params::kVoiceSaturation, 0.0);
          render::setChoice (p, params::kFilterType, 9);
      } },
    { "osc1-stack10-crossfade", "oscillator 1 alone: ten stacked copies, triangle to saw", 1,
      [] (BrevonAudioProcessor& p) {
          render::set (p, params::kOsc2Volume, 0.0);
          render::set (p, params::kOsc1Stack, 1.0);
          render::set (p, params::kOsc1Shape, 0.5);
          render::set (p, params::kVoiceSaturation, 0.0);
          render::setChoice (p, params::kFilterType, 9);
      } },
    { "osc2-stack10-pwm", "oscillator 2 alone: ten stacked copies with pulse width", 1,
      [] (BrevonAudioProcessor& p) {
          render::set (p, params::kOsc1Volume, 0.0);
          render::set (p, params::kOsc2Stack, 1.0);
          render::set (p, params::kOsc2Shape, 0.8);
          render::set (p, params::kOsc2PwmAmount, 0.5);
          render::set (p, params::kVoiceSaturation, 0.0);
          render::setChoice (p, params::kFilterType, 9);
      } },
    { "osc3", "oscillator 3 alone", 1,
      [] (BrevonAudioProcessor& p) {
          render::set (p, params::kOsc1Volume, 0.0);
          render::set (p, params::kOsc2Volume, 0.0);
          render::set (p, params::kOsc3Volume, 0.5);
          render::setChoice (p, params::kOsc3Shape, 2);
          render::set (p, params::kVoiceSaturation, 0.0);
          render::setChoice (p, params::kFilterType, 9);
      } },
    { "osc4", "oscillator 4 alone (silent until it is wired into the voice)", 1,
      [] (BrevonAudioProcessor& p) {
          render::configureHeavy (p);
          for (int i = params::kModAmountFirst; i <= params::kModAmountLast; ++i)
              render::set (p, i, 0.0);
          render::setChoice (p, params::kUnison, 0);
          render::set (p, params::kOsc1Volume, 0.0);
          render::set (p, params::kOsc2Volume, 0.0);
          render::set (p, params::kOsc3Volume, 0.0);
          render::set (p, params::kNoiseVolume, 0.0);
          render::set (p, params::kDecimate, 0.0);
          render::set (p, params::kVoiceSaturation, 0.0);
          render::setChoice (p, params::kFilterType, 9);
      } },
    { "heavy-unison4", "the heaviest voice, one note", 1, render::configureHeavy },
};

void registerUnits()
{
    for (const auto& s : unitScenarios)
    {
        const std::string label = std::string ("Voice/") + s.name;
        const auto* scenario = &s;
        benchmark::RegisterBenchmark (label.c_str(), [scenario] (benchmark::State& st) {
            playScenario (st, *scenario, 44100.0, 512, 1);
        })->Unit (benchmark::kMicrosecond);
    }
}
} // namespace

int main (int argc, char** argv)
{
    char folderTemplate[] = "/tmp/talvora-bench-XXXXXX";
    const bool privateSettings = mkdtemp (folderTemplate) != nullptr;
    if (privateSettings)
        setenv ("XDG_CONFIG_HOME", folderTemplate, 1);

    {
        juce::ScopedJuceInitialiser_GUI juce;

        for (const char* name : { "default", "heavy" })
        {
            for (int voices : { 1, 8, 48 })
                registerScenario (name, 44100.0, 512, voices);
            registerScenario (name, 96000.0, 512, 48);
            registerScenario (name, 44100.0, 64, 48);
            registerScenario (name, 44100.0, 4096, 48);
        }
        // The master chain alone: no notes, every effect at mix 1.
        for (const char* name : { "master", "master-stereo" })
        {
            registerScenario (name, 44100.0, 512, 0);
            registerScenario (name, 96000.0, 512, 0);
            registerScenario (name, 44100.0, 64, 0);
            registerScenario (name, 44100.0, 4096, 0);
        }
        // Oscillator 4 with cycles of tens of thousands of entries: worst_x
        // shows whether a block ever pays for drawing a whole cycle.
        registerScenario ("spline-low", 192000.0, 257, 4);
        registerScenario ("spline-low-bent", 192000.0, 257, 4);
        registerUnits();

        benchmark::Initialize (&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }

    if (privateSettings)
        juce::File (folderTemplate).deleteRecursively();
    return 0;
}
