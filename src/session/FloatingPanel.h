#pragma once

// The floating panel as the controller knows it: the app builds the window
// (in the interface layer) and hands it over through SessionPlatform.
class FloatingPanel
{
public:
    virtual ~FloatingPanel() = default;

    // Shows the panel where it was last placed, without activating it.
    virtual void show() = 0;
    // Takes the panel off the screen.
    virtual void hide() = 0;
    // Whether the panel is on the screen.
    virtual bool isShown() const = 0;
};
