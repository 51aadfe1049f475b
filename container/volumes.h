// Continuation across volume files: beside the program, or on further disks when the
// program lies in the root folder of a removable drive.
#pragma once

#include <stdint.h>

extern uint8_t RemovableMode;

void DetectRemovableMode();
// Closes the exhausted volume and opens, verifies and positions the next one; ends
// the process when it cannot.
void OpenNextVolume();
