#pragma once

// The device commands of the command line: they change server.db of the
// current directory without a window, and return the process's exit code.

#include "app/StartOptions.h"

int listDevices();
// The template is found by the device's application EUI, which the network
// server of settings.conf gives in its device list.
int addDevice(const SDeviceArguments& device);
int removeDevice(const QString& devEui);
int exportRegisterMap(const QString& path);
