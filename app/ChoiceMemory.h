#pragma once

// What the operator chose, kept across restarts through QSettings in the
// user's configuration folder (organisation and application names set): the
// output folder, the per-scan folders choice and the raster in force.

// Puts the remembered choices in force and logs each one restored. A
// remembered folder that cannot take photos now is left out, the log says so,
// and it stays remembered until the operator chooses another; a raster that
// is refused is left out and the log names the raster in force.
void RestoreChoices();
// Stores the output folder and the per-scan choice in force: after the operator chose them.
void RememberFolder();
// Stores the raster in force, as the projector draws it.
void RememberRaster();
