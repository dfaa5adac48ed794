// Removing what earlier releases left behind: the legacy router and agent
// performance DLLs with their installer, service, COM and WMI
// registrations. Every step runs whatever became of the one before; the
// host learns of each only through the level-4 reports.
#pragma once

namespace kvtr::installer {

// Runs the router procedure, then the agent procedure; 0 always.
int RemoveOldCounters();

}  // namespace kvtr::installer
