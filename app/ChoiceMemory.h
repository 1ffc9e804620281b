#pragma once

// What the operator chose, kept across restarts through QSettings in the
// user's configuration folder (organisation and application names set): the
// output folder, the per-scan folders choice and the raster in force.

// Puts the remembered choices in force and logs each one restored. A
// remembered folder that cannot take photos, or a raster the dialog refuses,
// is left out and the log says so; what was in force stays.
void RestoreChoices();
// Stores the choices in force.
void RememberChoices();
