#pragma once

class QWidget;

// Moves Window, a window of its own with a parent, onto its parent's screen:
// beside the parent where the screen has room, else to the middle, never
// past the screen's edges. Call before showing it: the window manager places
// a shown window itself.
void PlaceBesideParent(QWidget& Window);
