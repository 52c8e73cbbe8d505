#include "support/EditorRig.h"

#include <cstdlib>
#include <thread>

#include <unistd.h>

#include "core/PropertyProxy.h"

namespace editorRig
{
namespace
{
bool readEnv (const char* name, std::string& out)
{
    if (const char* v = std::getenv (name))
    {
        out = v;
        return true;
    }
    return false;
}

void restoreEnv (const char* name, bool had, const std::string& value)
{
    if (had)
        ::setenv (name, value.c_str(), 1);
    else
        ::unsetenv (name);
}
} // namespace

AssertionsFailTests::AssertionsFailTests() : previous (juce::Logger::getCurrentLogger())
{
    juce::Logger::setCurrentLogger (this);
}

AssertionsFailTests::~AssertionsFailTests()
{
    juce::Logger::setCurrentLogger (previous);
}

void AssertionsFailTests::logMessage (const juce::String& message)
{
    std::fprintf (stderr, "%s\n", message.toRawUTF8());
    if (message.contains ("JUCE Assertion failure"))
        ADD_FAILURE() << message;
}

SettingsSandbox::SettingsSandbox()
{
    hadConfigHome = readEnv ("XDG_CONFIG_HOME", previousConfigHome);
    hadHome = readEnv ("HOME", previousHome);

    std::string folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                             .getChildFile ("talvora_gui_test_XXXXXX").getFullPathName().toStdString();
    juce::File (folder).getParentDirectory().createDirectory();
    if (::mkdtemp (folder.data()) == nullptr)
        ADD_FAILURE() << "no temporary folder";
    root = juce::File (folder);
    ::setenv ("XDG_CONFIG_HOME", root.getFullPathName().toRawUTF8(), 1);
    ::setenv ("HOME", root.getChildFile ("home").getFullPathName().toRawUTF8(), 1);
}

SettingsSandbox::~SettingsSandbox()
{
    restoreEnv ("XDG_CONFIG_HOME", hadConfigHome, previousConfigHome);
    restoreEnv ("HOME", hadHome, previousHome);
    root.deleteRecursively();
}

juce::File SettingsSandbox::settingsFile() const
{
    return PropertyProxy::getSettingsFile();
}

int SettingsSandbox::storedInt (const char* key, int fallback) const
{
    juce::PropertiesFile file (settingsFile(), PropertyProxy::getPropertyOptions());
    return file.containsKey (key) ? file.getIntValue (key) : fallback;
}

void SettingsSandbox::storeInt (const char* key, int value) const
{
    juce::PropertiesFile file (settingsFile(), PropertyProxy::getPropertyOptions());
    file.setValue (key, value);
    if (! file.save())
        ADD_FAILURE() << "could not write " << settingsFile().getFullPathName();
}

//==============================================================================
BrevonAudioProcessorEditor* openEditor (BrevonAudioProcessor& processor)
{
    auto* editor = dynamic_cast<BrevonAudioProcessorEditor*> (processor.createEditorIfNeeded());
    EXPECT_NE (editor, nullptr);
    return editor;
}

PresetsPage* openPresetsPage (BrevonAudioProcessor& processor, BrevonAudioProcessorEditor*& editor)
{
    editor = openEditor (processor);
    if (editor == nullptr)
        return nullptr;
    editor->requestPageSwitch();
    juce::Image tiny (juce::Image::ARGB, 1, 1, true);
    juce::Graphics g (tiny);
    editor->paint (g);
    return editor->getPresetsPage();
}

void closeEditor (BrevonAudioProcessor& processor, BrevonAudioProcessorEditor*& editor)
{
    if (editor == nullptr)
        return;
    processor.editorBeingDeleted (editor);
    delete editor;
    editor = nullptr;
}

void pump()
{
    for (int i = 0; i < 10000 && juce::dispatchNextMessageOnSystemQueue (true); ++i)
    {
    }
}

void pumpFor (int milliseconds)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) milliseconds;
    while (juce::Time::getMillisecondCounter() < end)
    {
        pump();
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }
    pump();
}

//==============================================================================
juce::File snapshotFolder()
{
    static const juce::File folder = [] {
        auto f = juce::File::getSpecialLocation (juce::File::tempDirectory)
                     .getChildFile ("talvora-snapshots-" + juce::String (::getpid()));
        f.createDirectory();
        return f;
    }();
    return folder;
}

namespace
{
juce::File saveForTest (const juce::Image& image, const juce::String& name)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const juce::String testName = info != nullptr ? juce::String (info->test_suite_name()) + "." + info->name() : "none";
    auto file = snapshotFolder().getChildFile (juce::File::createLegalFileName (testName + "-" + name + ".png"));
    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat png;
    if (! out.openedOk() || ! png.writeImageToStream (image, out))
        ADD_FAILURE() << "could not write " << file.getFullPathName();
    return file;
}

void keepOnFailure (const juce::File& file)
{
    if (::testing::Test::HasFailure() || std::getenv ("TALVORA_KEEP_SNAPSHOTS") != nullptr)
        std::fprintf (stderr, "snapshot kept: %s\n", file.getFullPathName().toRawUTF8());
    else
        file.deleteFile();
}
} // namespace

Snapshot::Snapshot (juce::Component& component, const juce::String& name)
    : image (component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f)),
      file (saveForTest (image, name))
{
}

Snapshot::~Snapshot()
{
    keepOnFailure (file);
}

juce::Image drawToImage (int width, int height, const std::function<void (juce::Graphics&)>& draw)
{
    juce::Image image (juce::Image::ARGB, width, height, true);
    {
        juce::Graphics g (image);
        draw (g);
    }
    return image;
}

bool near (juce::Colour a, juce::Colour b, int tolerance)
{
    return std::abs ((int) a.getRed() - (int) b.getRed()) <= tolerance
           && std::abs ((int) a.getGreen() - (int) b.getGreen()) <= tolerance
           && std::abs ((int) a.getBlue() - (int) b.getBlue()) <= tolerance;
}

std::string hex (juce::Colour c)
{
    return c.toDisplayString (true).toStdString();
}

juce::MouseEvent mouseAt (juce::Component& target, juce::Point<float> position, juce::ModifierKeys mods,
                          juce::Point<float> downPosition, int clicks, bool dragged)
{
    auto source = juce::Desktop::getInstance().getMainMouseSource();
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent (source, position, mods, juce::MouseInputSource::defaultPressure,
                             juce::MouseInputSource::defaultOrientation, juce::MouseInputSource::defaultRotation,
                             juce::MouseInputSource::defaultTiltX, juce::MouseInputSource::defaultTiltY, &target,
                             &target, now, downPosition, now, clicks, dragged);
}

void click (juce::Component& target, juce::Point<float> position, juce::ModifierKeys mods, int clicks)
{
    target.mouseDown (mouseAt (target, position, mods, position, clicks));
    target.mouseUp (mouseAt (target, position, mods.withoutMouseButtons(), position, clicks));
}

juce::MouseEvent mouseDown (juce::Component& target, juce::Point<float> position, juce::ModifierKeys mods, int clicks)
{
    auto source = juce::Desktop::getInstance().getMainMouseSource();
    const auto now = juce::Time::getCurrentTime();
    return juce::MouseEvent (source, position, mods, juce::MouseInputSource::defaultPressure,
                             juce::MouseInputSource::defaultOrientation, juce::MouseInputSource::defaultRotation,
                             juce::MouseInputSource::defaultTiltX, juce::MouseInputSource::defaultTiltY, &target,
                             &target, now, position, now, clicks, false);
}
} // namespace editorRig
