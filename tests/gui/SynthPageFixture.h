#pragma once

// An editor opened on the synth page as a host opens it, for the page tests.

#include <gtest/gtest.h>

#include "core/PluginProcessor.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/synth/SynthPage.h"
#include "gui/synth/SynthPageLayout.h"
#include "support/EditorRig.h"

class SynthPageFixture : public ::testing::Test
{
protected:
    void open (BrevonAudioProcessor& p)
    {
        editor = editorRig::openEditor (p);
        ASSERT_NE (editor, nullptr);
        page = editor->getSynthPage();
        ASSERT_NE (page, nullptr);
        tick();
    }

    void close (BrevonAudioProcessor& p)
    {
        editorRig::closeEditor (p, editor);
        page = nullptr;
        editorRig::pump();
    }

    // One paint of the page and its children, then the message queue drained.
    void paintPage()
    {
        juce::Image image (juce::Image::ARGB, synthpage::kPageWidth, synthpage::kPageHeight, true);
        juce::Graphics g (image);
        page->paintEntireComponent (g, false);
        editorRig::pump();
    }

    virtual void tick() { paintPage(); }

    // The start text holds the display for a while; let it run out.
    void releaseStartText()
    {
        juce::Image image (juce::Image::ARGB, 300, 60, true);
        for (int i = 0; i < 60; ++i)
        {
            juce::Graphics g (image);
            page->getValueDisplay().paintEntireComponent (g, false);
        }
    }

    BrevonAudioProcessorEditor* editor = nullptr;
    SynthPage* page = nullptr;
};
