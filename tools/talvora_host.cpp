// Loads a built VST3 or LV2 of the synth through JUCE's plug-in hosting,
// prints what a host sees, plays a note and round-trips the state.
//
//   talvora_host PATH            print identity, buses, parameters, render
//   talvora_host --check PATH    the same, and exit 1 if anything is off
//   talvora_host --editor PATH   also open the plug-in's window, leave it
//                                alone for 2 s and fail if the host heard
//                                any parameter change (needs a display)

#include <JuceHeader.h>

#include <atomic>
#include <cmath>
#include <iostream>
#include <map>

// HostX11.cpp
void prepareXlibForPluginWindows();

namespace juce
{
// JUCE's own step of its message loop (declared the same way inside JUCE).
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
// The synth's own parameters by index. Hosts add their own (bypass, MIDI
// controller stand-ins) and may order them differently, so go by the id:
// VST3 uses the index itself, LV2 the symbol "p<index>".
std::map<int, juce::AudioProcessorParameter*> ownParameters (juce::AudioPluginInstance& plugin)
{
    std::map<int, juce::AudioProcessorParameter*> result;
    for (auto* p : plugin.getParameters())
    {
        auto* hosted = dynamic_cast<juce::HostedAudioProcessorParameter*> (p);
        if (hosted == nullptr)
            continue;
        auto id = hosted->getParameterID();
        for (auto separator : { ":", "#", "/" })
            id = id.fromLastOccurrenceOf (separator, false, false);
        if (id.startsWithChar ('p'))
            id = id.substring (1);
        if (id.isEmpty() || ! id.containsOnly ("0123456789"))
            continue;
        const int index = id.getIntValue();
        if (index >= 0 && index < 1770 && p->getName (64) != "Bypass")
            result[index] = p;
    }
    return result;
}

int failures = 0;
bool checking = false;
bool withEditor = false;

// Everything a plug-in's own window tells its host.
class ParameterWatch : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { note (index); }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int index) override { note (index); }
    void audioProcessorParameterChangeGestureEnd (juce::AudioProcessor*, int index) override { note (index); }

    std::atomic<int> heard { 0 };
    std::atomic<int> firstIndex { -1 };

private:
    void note (int index)
    {
        int none = -1;
        firstIndex.compare_exchange_strong (none, index);
        ++heard;
    }
};

void expect (bool ok, const juce::String& what)
{
    if (! ok)
    {
        ++failures;
        std::cout << "FAIL: " << what << std::endl;
    }
    else if (checking)
        std::cout << "ok: " << what << std::endl;
}

std::unique_ptr<juce::AudioPluginInstance> load (juce::AudioPluginFormatManager& formats, const juce::File& path)
{
    juce::OwnedArray<juce::PluginDescription> types;
    for (auto* format : formats.getFormats())
    {
        if (format->getName() == "LV2" && path.isDirectory() && path.getFileExtension() != ".vst3")
        {
            // LV2 plug-ins are found by URI once their bundle folder is known.
            juce::FileSearchPath search (path.getParentDirectory().getFullPathName());
            for (const auto& uri : format->searchPathsForPlugins (search, false, false))
                format->findAllTypesForFile (types, uri);
        }
        else if (format->getName() == "VST3" && path.getFileExtension() == ".vst3")
            format->findAllTypesForFile (types, path.getFullPathName());
    }

    for (auto* type : types)
    {
        if (type->name != "TalvoraXL")
            continue;
        juce::String error;
        auto instance = formats.createPluginInstance (*type, 44100.0, 512, error);
        if (instance != nullptr)
            return instance;
        std::cout << "could not load " << type->fileOrIdentifier << ": " << error << std::endl;
    }
    return {};
}

// Opens the plug-in's window as a host would, idles, and closes it. An idle
// window must never write to the host: every write marks the project changed.
void idleEditor (juce::AudioPluginInstance& plugin)
{
    ParameterWatch watch;
    plugin.addListener (&watch);
    {
        std::unique_ptr<juce::AudioProcessorEditor> editor (plugin.createEditorIfNeeded());
        expect (editor != nullptr, "plug-in opens its window");
        if (editor != nullptr)
        {
            juce::DocumentWindow window ("talvora_host", juce::Colours::black, 0);
            window.setUsingNativeTitleBar (true);
            window.setContentNonOwned (editor.get(), true);
            window.setVisible (true);

            const auto end = juce::Time::getMillisecondCounter() + 2000;
            while (juce::Time::getMillisecondCounter() < end)
            {
                while (juce::dispatchNextMessageOnSystemQueue (true))
                {
                }
                juce::Thread::sleep (5);
            }
            std::cout << "window:       " << editor->getWidth() << " x " << editor->getHeight() << "\n";
            window.clearContentComponent();
        }
    }
    plugin.removeListener (&watch);
    expect (watch.heard.load() == 0,
            "an idle window writes nothing to the host (heard " + juce::String (watch.heard.load())
                + ", first for parameter " + juce::String (watch.firstIndex.load()) + ")");
}

void run (const juce::File& path)
{
    juce::AudioPluginFormatManager formats;
    formats.addDefaultFormats();

    auto plugin = load (formats, path);
    expect (plugin != nullptr, "plug-in loads from " + path.getFullPathName());
    if (plugin == nullptr)
        return;

    const auto desc = plugin->getPluginDescription();
    std::cout << "format:       " << desc.pluginFormatName << "\n"
              << "name:         " << plugin->getName() << "\n"
              << "vendor:       " << desc.manufacturerName << "\n"
              << "version:      " << desc.version << "\n"
              << "instrument:   " << (desc.isInstrument ? "yes" : "no") << "\n"
              << "parameters:   " << plugin->getParameters().size() << "\n"
              << "inputs:       " << plugin->getTotalNumInputChannels() << "\n"
              << "outputs:      " << plugin->getTotalNumOutputChannels() << "\n"
              << "midi in/out:  " << (plugin->acceptsMidi() ? "yes" : "no") << "/" << (plugin->producesMidi() ? "yes" : "no") << "\n";

    auto parameters = ownParameters (*plugin);
    std::cout << "own parameters: " << parameters.size() << "\n";
    for (int i : { 0, 1, 25, 51, 54, 771, 1234 })
        if (parameters.count (i) != 0)
            std::cout << "  p" << i << " \"" << parameters[i]->getName (64) << "\" = " << parameters[i]->getCurrentValueAsText() << "\n";

    expect (plugin->getName() == "TalvoraXL", "name is TalvoraXL");
    expect (desc.manufacturerName == "KevoAudio", "vendor is KevoAudio");
    if (desc.pluginFormatName != "LV2") // LV2 descriptions carry no version
        expect (desc.version == "1.3.0", "version is 1.3.0");
    expect (desc.isInstrument, "is an instrument");
    expect (parameters.size() == 1770, "1770 parameters");
    expect (plugin->getTotalNumInputChannels() == 0, "no input");
    expect (plugin->getTotalNumOutputChannels() == 2, "stereo output");
    expect (plugin->acceptsMidi() && ! plugin->producesMidi(), "MIDI in, no MIDI out");
    if (parameters.size() == 1770)
    {
        expect (parameters[51]->getName (64) == "osc morph mode", "parameter 51 name");
        expect (parameters[1234]->getName (64) == "par 123", "parameter 1234 name");
        expect (parameters[1]->getCurrentValueAsText().startsWith ("0.5"), "parameter 1 text");
    }

    // Layouts other than stereo-out, no-in are refused.
    {
        auto mono = plugin->getBusesLayout();
        if (! mono.outputBuses.isEmpty())
        {
            mono.outputBuses.getReference (0) = juce::AudioChannelSet::mono();
            expect (! plugin->checkBusesLayoutSupported (mono), "mono output refused");
        }
        auto withInput = plugin->getBusesLayout();
        withInput.inputBuses.add (juce::AudioChannelSet::stereo());
        expect (! plugin->checkBusesLayoutSupported (withInput), "input bus refused");
    }

    // Play a note for a few hundred blocks (the synth is silent at first).
    plugin->setPlayConfigDetails (0, 2, 44100.0, 512);
    plugin->prepareToPlay (44100.0, 512);
    juce::AudioBuffer<float> buffer (2, 512);
    double peak = 0.0;
    bool finite = true;
    for (int block = 0; block < 400; ++block)
    {
        juce::MidiBuffer midi;
        if (block == 160)
            midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
        if (block == 300)
            midi.addEvent (juce::MidiMessage::noteOff (1, 60), 0);
        buffer.clear();
        plugin->processBlock (buffer, midi);
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < buffer.getNumSamples(); ++i)
            {
                const float s = buffer.getSample (ch, i);
                finite = finite && std::isfinite (s);
                peak = std::max (peak, (double) std::abs (s));
            }
    }
    std::cout << "rendered peak: " << peak << "\n";
    expect (finite && peak <= 1.0, "rendered output finite and within full scale");

    // State: exactly one program record, restored byte for byte.
    juce::MemoryBlock state;
    plugin->getStateInformation (state);
    // The format wraps the synth's 23758-byte record in its own container.
    std::cout << "state bytes:  " << state.getSize() << "\n";
    expect (state.getSize() >= 23758, "state holds the program record");

    if (parameters.count (14) != 0)
        parameters[14]->setValueNotifyingHost (0.25f);
    {
        // Hosted parameter changes reach the plug-in with the next block.
        juce::MidiBuffer none;
        plugin->processBlock (buffer, none);
    }
    juce::MemoryBlock changed;
    plugin->getStateInformation (changed);
    expect (changed != state, "a parameter change shows in the state");
    plugin->setStateInformation (state.getData(), (int) state.getSize());
    juce::MemoryBlock restored;
    plugin->getStateInformation (restored);
    expect (restored == state, "state restores byte for byte");

    // Blobs the synth refuses are checked against the processor itself: a
    // format's container decides on its own what a damaged blob becomes.

    // A fresh instance restored from the saved state saves the same state.
    if (auto fresh = load (formats, path))
    {
        fresh->setStateInformation (changed.getData(), (int) changed.getSize());
        juce::MemoryBlock again;
        fresh->getStateInformation (again);
        expect (again == changed, "a fresh instance restores the state byte for byte");
        fresh->setPlayConfigDetails (0, 2, 44100.0, 512);
        fresh->prepareToPlay (44100.0, 512);
        juce::MidiBuffer none;
        fresh->processBlock (buffer, none); // lets the format report restored values
        auto freshParameters = ownParameters (*fresh);
        if (freshParameters.count (14) != 0)
            expect (std::abs (freshParameters[14]->getValue() - 0.25f) < 1e-6f, "restored parameter value reaches the host");
    }

    if (withEditor)
        idleEditor (*plugin);

    plugin->releaseResources();
}
} // namespace

int main (int argc, char** argv)
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);
    checking = args.contains ("--check");
    args.removeString ("--check");
    withEditor = args.contains ("--editor");
    args.removeString ("--editor");

    if (withEditor)
        prepareXlibForPluginWindows();
    juce::ScopedJuceInitialiser_GUI init;

    if (args.isEmpty())
    {
        std::cout << "usage: talvora_host [--check] [--editor] PATH_TO.vst3|PATH_TO.lv2" << std::endl;
        return 2;
    }

    run (juce::File::getCurrentWorkingDirectory().getChildFile (args[0]));
    if (checking)
        std::cout << (failures == 0 ? "all checks passed" : "checks failed") << std::endl;
    return failures == 0 ? 0 : 1;
}
