#pragma once

// The user interface: controls, lists, dialogs and the main window's form.

// A window that dims itself while modal dialogs that it parents are open.
class OverlayHost
{
public:
    virtual ~OverlayHost() = default;
    // Nested dialogs count: the overlay hides only when the last one has closed.
    virtual void setOverlay(bool on) = 0;
};
