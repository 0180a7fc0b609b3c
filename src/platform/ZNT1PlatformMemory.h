#pragma once
// Process memory: giving freed heap pages back to the system.
// A map load frees far more than it keeps (decoded files, compile scratch, the previous map);
// the C library holds such pages until told otherwise, and the next map's long-lived blocks
// land among them. Called when a map has been freed and when a load has finished.
void PlatformReleaseFreeMemory();
