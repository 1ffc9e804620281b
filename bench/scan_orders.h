#pragma once

// Whole scans through the "Snímání" button in the serial order (each photo on
// disk before the next pattern) and in the order that downloads in the gaps,
// with 10 MB photos and 150 ms of camera time, on a link fast enough for the
// gaps (25 MB/s) and one too slow for them (0.5 s a photo). Prints, per case
// and order, the time the object must keep still and the whole scan, against
// their targets; the hold-still target takes the camera's own time as the
// serial order measured it (on a busy machine the emulated camera may need
// longer than it is set to), the whole-scan target the downloads left after
// the last photo was taken. The camera is the simulated rig, or with Ptpip the PTP/IP
// camera emulator through the libgphoto2 backend. Needs the window set and a
// camera connected once; the scans use the output directory's parent for
// temporary folders. Returns false when a target is missed.
bool CompareScanOrders(bool Ptpip);
