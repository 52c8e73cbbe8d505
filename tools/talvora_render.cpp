// Offline renderer: plays a MIDI file or a named scenario through the
// processor the plug-in is built from, writes a WAV file and prints how much
// of one core the rendering took.
//
//   talvora_render --list
//   talvora_render --scenario heavy [--voices 48] [--rate 44100] [--block 512]
//                  [--seconds 5] [--seed 1] [--set 38=0.01] [--out heavy.wav] [--repeat 3]
//   talvora_render --midi song.mid [--scenario NAME] [--tail 2] [--out song.wav]
//   talvora_render --write-reference tests/data/reference_renders.txt
//   talvora_render --check-reference tests/data/reference_renders.txt
//   talvora_render --memory [--scenario heavy] [--seconds 0.5]
//
// The real-time factor is the CPU time of the rendering thread divided by the
// duration of the audio; the process-wide silent start is played before and
// not counted.
//
// --memory measures what a host sees when it adds instances: at 44.1, 96 and
// 192 kHz, a fresh process plays one instance, then adds one (or four) more,
// each prepared at the rate with the block size and playing the scenario's
// notes, and the growth of its resident memory is divided by the number
// added. Each measurement runs in a process of its own, so memory freed by
// an earlier one cannot hide a later one's.

#include <JuceHeader.h>

#include <sys/resource.h>
#include <unistd.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "RenderScenarios.h"

namespace
{
double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double) ts.tv_sec + ts.tv_nsec * 1.0e-9;
}

// Resident memory now, in bytes.
double residentBytes()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen ("/proc/self/statm", "r"))
    {
        if (std::fscanf (f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose (f);
    }
    return (double) resident * (double) sysconf (_SC_PAGESIZE);
}

double peakMemoryMiB()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;   // kilobytes on Linux
}

struct Options
{
    std::string scenario = "default";
    std::string midiFile;
    std::string outFile;
    std::string writeReference;
    std::string checkReference;
    std::string blockLog;        // per-block CPU times, one line each
    int repeat = 1;              // plays of the scenario, each with a fresh processor
    double sampleRate = 44100.0;
    int blockSize = 512;
    int voices = -1;
    double seconds = 5.0;
    bool secondsGiven = false;
    double tail = 2.0;
    uint64_t seed = 1;
    bool list = false;
    bool memory = false;
    int memoryInstances = 0;     // > 0: one measurement, in this process
    std::vector<std::pair<int, double>> overrides;   // --set index=value, after the scenario
};

void usage()
{
    std::cout << "usage: talvora_render [--list] [--scenario NAME] [--midi FILE] [--out FILE.wav]\n"
                 "                      [--voices N] [--rate HZ] [--block N] [--seconds S] [--tail S] [--seed N]\n"
                 "                      [--set INDEX=VALUE ...] [--block-log FILE] [--repeat N]\n"
                 "                      [--write-reference FILE] [--check-reference FILE]\n"
                 "                      [--memory]\n";
}

bool parse (int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        auto value = [&] () -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error ("missing value after " + a);
            return argv[++i];
        };
        if (a == "--list") o.list = true;
        else if (a == "--scenario") o.scenario = value();
        else if (a == "--midi") o.midiFile = value();
        else if (a == "--out") o.outFile = value();
        else if (a == "--voices") o.voices = std::stoi (value());
        else if (a == "--rate") o.sampleRate = std::stod (value());
        else if (a == "--block") o.blockSize = std::stoi (value());
        else if (a == "--seconds") { o.seconds = std::stod (value()); o.secondsGiven = true; }
        else if (a == "--tail") o.tail = std::stod (value());
        else if (a == "--seed") o.seed = std::stoull (value());
        else if (a == "--set")
        {
            const std::string v = value();
            const auto eq = v.find ('=');
            if (eq == std::string::npos)
                throw std::runtime_error ("--set needs index=value");
            const int index = std::stoi (v.substr (0, eq));
            if (! params::isValidIndex (index))
                throw std::runtime_error ("no parameter " + v.substr (0, eq));
            o.overrides.emplace_back (index, std::stod (v.substr (eq + 1)));
        }
        else if (a == "--block-log") o.blockLog = value();
        else if (a == "--repeat") o.repeat = std::stoi (value());
        else if (a == "--memory") o.memory = true;
        else if (a == "--memory-instances") o.memoryInstances = std::stoi (value());
        else if (a == "--write-reference") o.writeReference = value();
        else if (a == "--check-reference") o.checkReference = value();
        else if (a == "--help" || a == "-h") return false;
        else throw std::runtime_error ("unknown option " + a);
    }
    if (o.sampleRate < 8000.0 || o.sampleRate > 384000.0 || o.blockSize < 1 || o.blockSize > 65536
        || o.voices > BrevonAudioProcessor::kNumVoices || o.seconds <= 0.0 || o.tail < 0.0
        || o.memoryInstances < 0 || o.memoryInstances > 64 || o.repeat < 1 || o.repeat > 50)
        throw std::runtime_error ("option out of range");
    return true;
}

struct TimedEvent
{
    int64_t sample;
    juce::MidiMessage message;
};

// Channel-voice messages of every track, in time order, at sample positions.
std::vector<TimedEvent> readMidiFile (const std::string& path, double sampleRate)
{
    juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile (path);
    juce::FileInputStream stream (file);
    juce::MidiFile midi;
    if (! stream.openedOk() || ! midi.readFrom (stream))
        throw std::runtime_error ("cannot read MIDI file " + path);
    midi.convertTimestampTicksToSeconds();

    std::vector<TimedEvent> events;
    for (int t = 0; t < midi.getNumTracks(); ++t)
        for (const auto* e : *midi.getTrack (t))
        {
            const auto& m = e->message;
            if (m.isMetaEvent() || m.isSysEx())
                continue;
            events.push_back ({ (int64_t) std::llround (m.getTimeStamp() * sampleRate), m });
        }
    std::stable_sort (events.begin(), events.end(), [] (const TimedEvent& a, const TimedEvent& b) { return a.sample < b.sample; });
    return events;
}

struct Figures
{
    int64_t samples = 0;
    int blocks = 0;
    double cpuSeconds = 0.0;
    double worstBlockCpu = 0.0;
    double worstBlockWall = 0.0;
};

int runRender (const Options& o)
{
    const render::Scenario* scenario = render::findScenario (o.scenario);
    if (scenario == nullptr)
    {
        std::cerr << "unknown scenario " << o.scenario << " (see --list)\n";
        return 2;
    }

    std::vector<TimedEvent> events;
    int64_t length = (int64_t) std::llround (o.seconds * o.sampleRate);
    if (! o.midiFile.empty())
    {
        events = readMidiFile (o.midiFile, o.sampleRate);
        length = (events.empty() ? 0 : events.back().sample) + (int64_t) std::llround (o.tail * o.sampleRate);
    }
    length = std::max<int64_t> (length, 1);
    const double memoryBefore = peakMemoryMiB();
    int notes = -1;

    // One play of the scenario on a fresh processor: its figures and every
    // block's CPU time in microseconds.
    auto playOnce = [&] (bool write, Figures& f, std::vector<float>& blockTimes) -> bool {
        render::ScenarioPlayer player (*scenario, o.sampleRate, o.blockSize, o.midiFile.empty() ? o.voices : 0, o.seed);
        for (const auto& [index, value] : o.overrides)
            render::set (player.processor(), index, value);
        if (o.midiFile.empty())
            notes = (int) player.getNotes().size();

        std::unique_ptr<juce::AudioFormatWriter> writer;
        if (write && ! o.outFile.empty())
        {
            juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile (o.outFile);
            file.deleteFile();
            auto stream = file.createOutputStream();
            juce::WavAudioFormat wav;
            if (stream != nullptr)
                writer.reset (wav.createWriterFor (stream.get(), o.sampleRate, 2, 32, {}, 0));
            if (writer == nullptr)
            {
                std::cerr << "cannot write " << o.outFile << '\n';
                return false;
            }
            stream.release();   // the writer owns it now
        }

        blockTimes.clear();
        blockTimes.reserve ((size_t) (length / o.blockSize + 1));
        size_t next = 0;
        for (int64_t pos = 0; pos < length; pos += o.blockSize)
        {
            const int n = (int) std::min<int64_t> (o.blockSize, length - pos);
            juce::MidiBuffer midi;
            if (o.midiFile.empty())
            {
                if (pos == 0)
                    player.addNoteOns (midi, 0);
            }
            else
                for (; next < events.size() && events[next].sample < pos + n; ++next)
                    midi.addEvent (events[next].message, (int) std::max<int64_t> (0, events[next].sample - pos));

            const auto wall0 = std::chrono::steady_clock::now();
            const double cpu0 = threadCpuSeconds();
            const auto& out = player.renderBlock (midi, n);
            const double cpu = threadCpuSeconds() - cpu0;
            const double wall = std::chrono::duration<double> (std::chrono::steady_clock::now() - wall0).count();

            f.cpuSeconds += cpu;
            blockTimes.push_back ((float) (cpu * 1.0e6));
            f.worstBlockCpu = std::max (f.worstBlockCpu, cpu);
            f.worstBlockWall = std::max (f.worstBlockWall, wall);
            f.samples += n;
            ++f.blocks;
            if (writer != nullptr)
                writer->writeFromAudioSampleBuffer (out, 0, n);
        }
        return true;
    };

    Figures f;
    std::vector<float> blockTimes;
    if (! playOnce (true, f, blockTimes))
        return 2;

    // Further plays: other work on the machine only ever adds time, so each
    // block's least time over the plays shows what the synthesiser itself
    // costs there, and a slow block that is not slow in every play was not
    // the synthesiser's.
    std::vector<double> rtfs { f.cpuSeconds * o.sampleRate / (double) std::max<int64_t> (1, f.samples) };
    std::vector<float> least = blockTimes;
    for (int r = 1; r < o.repeat; ++r)
    {
        Figures again;
        std::vector<float> times;
        playOnce (false, again, times);
        rtfs.push_back (again.cpuSeconds * o.sampleRate / (double) std::max<int64_t> (1, again.samples));
        f.worstBlockCpu = std::max (f.worstBlockCpu, again.worstBlockCpu);
        f.worstBlockWall = std::max (f.worstBlockWall, again.worstBlockWall);
        for (size_t b = 0; b < least.size() && b < times.size(); ++b)
            least[b] = std::min (least[b], times[b]);
    }

    if (! o.blockLog.empty())
    {
        std::ofstream log (o.blockLog);
        for (size_t b = 0; b < least.size(); ++b)
            log << b << ' ' << least[b] << '\n';
    }

    const double audioSeconds = f.samples / o.sampleRate;
    const double meanBlock = f.cpuSeconds / std::max (1, f.blocks);
    std::printf ("scenario        %s%s\n", scenario->name, o.midiFile.empty() ? "" : (" + " + o.midiFile).c_str());
    std::printf ("notes           %d\n", notes);
    std::printf ("sample rate     %.0f Hz, block %d\n", o.sampleRate, o.blockSize);
    std::printf ("audio           %.3f s in %d blocks\n", audioSeconds, f.blocks);
    if (o.repeat == 1)
    {
        std::printf ("cpu             %.3f s\n", f.cpuSeconds);
        std::printf ("real-time factor %.4f\n", f.cpuSeconds / audioSeconds);
        std::printf ("mean block      %.1f us (block lasts %.1f us)\n", meanBlock * 1.0e6, o.blockSize / o.sampleRate * 1.0e6);
        std::printf ("worst block     %.1f us cpu (%.2f x mean), %.1f us wall\n", f.worstBlockCpu * 1.0e6,
                     f.worstBlockCpu / std::max (meanBlock, 1.0e-12), f.worstBlockWall * 1.0e6);
    }
    else
    {
        std::printf ("plays           %d, real-time factors", o.repeat);
        for (double r : rtfs)
            std::printf (" %.4f", r);
        std::printf ("\n");
        std::vector<double> sorted (rtfs);
        std::sort (sorted.begin(), sorted.end());
        std::printf ("real-time factor %.4f (median of the plays)\n", sorted[sorted.size() / 2]);
        double sum = 0.0, worst = 0.0;
        size_t worstAt = 0;
        for (size_t b = 0; b < least.size(); ++b)
        {
            sum += least[b];
            if (least[b] > worst)
            {
                worst = least[b];
                worstAt = b;
            }
        }
        const double meanLeast = sum / (double) std::max<size_t> (1, least.size());
        std::printf ("mean block      %.1f us, each block's least over the plays (block lasts %.1f us)\n", meanLeast,
                     o.blockSize / o.sampleRate * 1.0e6);
        std::printf ("worst block     %.1f us (%.2f x mean), block %zu, each block's least over the plays\n", worst,
                     worst / std::max (meanLeast, 1.0e-12), worstAt);
        std::printf ("slowest single  %.1f us cpu, %.1f us wall, in any play\n", f.worstBlockCpu * 1.0e6,
                     f.worstBlockWall * 1.0e6);
    }
    std::printf ("peak memory     %.1f MiB (%.1f MiB before rendering)\n", peakMemoryMiB(), memoryBefore);
    if (! o.outFile.empty())
        std::printf ("wrote           %s\n", o.outFile.c_str());
    return 0;
}

//==============================================================================
// One memory measurement: the first instance plays, then `added` more join
// it; prints the resident growth per added instance in bytes.
int measureMemoryHere (const Options& o)
{
    const render::Scenario* scenario = render::findScenario (o.scenario);
    if (scenario == nullptr)
        return 2;
    const int blocks = std::max (1, (int) std::ceil (o.seconds * o.sampleRate / o.blockSize));
    std::vector<std::unique_ptr<render::ScenarioPlayer>> players;
    double cpu = 0.0;
    int64_t samples = 0;
    auto addAndPlay = [&] {
        players.push_back (std::make_unique<render::ScenarioPlayer> (*scenario, o.sampleRate, o.blockSize, o.voices,
                                                                     o.seed + players.size()));
        auto& player = *players.back();
        for (int b = 0; b < blocks; ++b)
        {
            juce::MidiBuffer midi;
            if (b == 0)
                player.addNoteOns (midi, 0);
            const double cpu0 = threadCpuSeconds();
            player.renderBlock (midi, o.blockSize);
            cpu += threadCpuSeconds() - cpu0;
            samples += o.blockSize;
        }
    };
    addAndPlay();
    const double before = residentBytes();
    for (int i = 0; i < o.memoryInstances; ++i)
        addAndPlay();
    const double after = residentBytes();
    std::printf ("growth %.0f rtf %.4f\n", (after - before) / o.memoryInstances, cpu * o.sampleRate / (double) samples);
    return 0;
}

// Runs each measurement in a process of its own and prints the table.
int measureMemory (const Options& o)
{
    char self[4096] {};
    const ssize_t length = readlink ("/proc/self/exe", self, sizeof (self) - 1);
    if (length <= 0)
    {
        std::cerr << "cannot find this program\n";
        return 2;
    }
    const double seconds = o.secondsGiven ? o.seconds : 0.5;
    std::printf ("resident memory per added instance, scenario %s, %d notes, block %d, %.2f s played each\n",
                 o.scenario.c_str(), o.voices < 0 ? render::findScenario (o.scenario)->defaultVoices : o.voices,
                 o.blockSize, seconds);
    std::printf ("%-10s %-8s %14s %10s %8s\n", "rate", "added", "MB/instance", "budget", "rtf");
    int failures = 0;
    for (const double rate : { 44100.0, 96000.0, 192000.0 })
        for (const int added : { 1, 4 })
        {
            std::ostringstream command;
            command << '\'' << self << "' --memory-instances " << added << " --rate " << rate << " --block "
                    << o.blockSize << " --scenario '" << o.scenario << "' --seconds " << seconds << " --seed " << o.seed;
            if (o.voices >= 0)
                command << " --voices " << o.voices;
            double growth = -1.0, rtf = 0.0;
            if (FILE* pipe = popen (command.str().c_str(), "r"))
            {
                char line[256];
                while (std::fgets (line, sizeof (line), pipe) != nullptr)
                    std::sscanf (line, "growth %lf rtf %lf", &growth, &rtf);
                if (pclose (pipe) != 0)
                    growth = -1.0;
            }
            if (growth < 0.0)
            {
                std::printf ("%-10.0f %-8d %14s\n", rate, added, "failed");
                ++failures;
                continue;
            }
            const double budget = rate <= 44100.0 ? 16.0 : rate >= 192000.0 ? 40.0 : 0.0;
            const double mb = growth / 1.0e6;
            char budgetText[32] = "-";
            if (budget > 0.0)
                std::snprintf (budgetText, sizeof (budgetText), "%.0f %s", budget, mb <= budget ? "ok" : "OVER");
            std::printf ("%-10.0f %-8d %14.1f %10s %8.4f\n", rate, added, mb, budgetText, rtf);
            std::fflush (stdout);
        }
    return failures == 0 ? 0 : 1;
}

std::string readFile (const std::string& path)
{
    std::ifstream in (path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int writeReference (const std::string& path)
{
    std::ostringstream text;
    text << "# Reference renders of the render scenarios: per channel and " << render::kWindow
         << "-sample window the RMS and " << render::kProjections << " sign projections.\n"
         << "# Regenerate with: talvora_render --write-reference " << path << "\n";
    for (const auto& spec : render::referenceSpecs())
    {
        const auto f = render::renderFingerprint (spec);
        text << render::toText (f);
        std::printf ("%-28s hash %016llx\n", spec.key().c_str(), (unsigned long long) f.hash);
    }
    std::ofstream out (path);
    out << text.str();
    if (! out)
    {
        std::cerr << "cannot write " << path << '\n';
        return 2;
    }
    std::printf ("wrote %s\n", path.c_str());
    return 0;
}

int checkReference (const std::string& path)
{
    const auto stored = render::parseFingerprints (readFile (path));
    int failures = 0;
    for (const auto& spec : render::referenceSpecs())
    {
        const auto f = render::renderFingerprint (spec);
        const render::Fingerprint* ref = nullptr;
        for (const auto& s : stored)
            if (s.key == f.key)
                ref = &s;
        if (ref == nullptr)
        {
            std::printf ("%-28s missing from %s\n", f.key.c_str(), path.c_str());
            ++failures;
            continue;
        }
        const double d = render::difference (f, *ref);
        const bool ok = d <= render::kTolerance;
        failures += ok ? 0 : 1;
        std::printf ("%-28s %s  difference %.3g (%.1f dB)%s\n", f.key.c_str(), ok ? "ok  " : "FAIL", d,
                     d > 0.0 ? 20.0 * std::log10 (d) : -999.0, f.hash == ref->hash ? ", identical" : "");
    }
    return failures == 0 ? 0 : 1;
}
} // namespace

int main (int argc, char** argv)
{
    Options o;
    try
    {
        if (! parse (argc, argv, o))
        {
            usage();
            return 0;
        }
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << '\n';
        usage();
        return 2;
    }

    // The processor opens the shared settings file: keep it out of the
    // user's home unless told otherwise.
    char folderTemplate[] = "/tmp/talvora-render-XXXXXX";
    const bool privateSettings = std::getenv ("TALVORA_RENDER_USE_HOME") == nullptr && mkdtemp (folderTemplate) != nullptr;
    if (privateSettings)
        setenv ("XDG_CONFIG_HOME", folderTemplate, 1);

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        try
        {
            if (o.list)
                for (const auto& s : render::scenarios())
                    std::printf ("%-16s %2d notes  %s\n", s.name, s.defaultVoices, s.description);
            else if (! o.writeReference.empty())
                result = writeReference (o.writeReference);
            else if (! o.checkReference.empty())
                result = checkReference (o.checkReference);
            else if (o.memoryInstances > 0)
                result = measureMemoryHere (o);
            else if (o.memory)
                result = measureMemory (o);
            else
                result = runRender (o);
        }
        catch (const std::exception& e)
        {
            std::cerr << e.what() << '\n';
            result = 2;
        }
    }

    if (privateSettings)
        juce::File (folderTemplate).deleteRecursively();
    return result;
}
