// The stub's user interface, as the raw entry point sees it.
#pragma once

// Registers the windows, opens the archive, runs the message loop; returns the process exit
// code. ui/stub_entry.cpp ends the process with it.
int stub_main();
