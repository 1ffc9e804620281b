#pragma once

// What a camera backend found out about a failure beyond its result code (why
// a camera could not be opened and what to do), as log lines in the station's
// words. Any thread may note them; the station takes them after a connect.

#include <string>
#include <vector>

void NoteCameraProblem(const std::string& Line);
// The lines noted since the last call, oldest first.
std::vector<std::string> TakeCameraProblems();
