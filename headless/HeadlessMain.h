#pragma once

#include "app/StartOptions.h"

// Everything the command line starts without a window: the headless gateway
// and the device commands. Creates the QCoreApplication; never a widget.
int runWithoutWindow(int& argc, char* argv[], const SStartOptions& options);
