#pragma once

#include <QImage>

// The picture the projector throws right now. The projection image publishes
// each frame it paints while its window is visible and clears the feed when
// the window hides. Safe from any thread.
void PublishProjectorFrame(const QImage& Frame);
void ClearProjectorFrame();
// A copy of the latest frame; a null image when nothing is shown.
QImage LatestProjectorFrame();
