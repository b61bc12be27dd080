// The silent flag: set at start-up from /S; while set, no message box is shown.
#pragma once

void SetSilentRun(bool silent);
bool IsSilentRun();
