// Removing the product's performance classes from WMI again.
#pragma once

namespace kvtr::installer {

// Deletes both router classes; -5 in every case.
int UnInstRouter();
// Deletes the agent class; -3 when it was deleted, -1 when not.
int UnInstAgent();

}  // namespace kvtr::installer
