#pragma once

#include "platform/Application.h"

// Creates the program's four windows in the program's order: the main window
// first (it becomes the main form), then the projection window, the settings
// dialog and the directory dialog.
void CreateWindows(TApplication& App);
