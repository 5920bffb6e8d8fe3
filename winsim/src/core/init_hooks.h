// Each subsystem lays down its part of a new machine (folders, default registry, accounts) in an
// init function of its own; InitMachine calls them in this order.
#pragma once

namespace winsim {

void InitFileSystemDefaults();  // files: the Windows folders on C:
void InitAccountDefaults();     // process: the built-in accounts
void InitSessionDefaults();     // sessions: the services' session and the console session
void InitRegistryDefaults();    // registry: the keys and values of a fresh Windows

inline void RunInitHooks() {
  InitFileSystemDefaults();
  InitAccountDefaults();
  InitSessionDefaults();
  InitRegistryDefaults();
}

}  // namespace winsim
