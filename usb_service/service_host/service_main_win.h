// KeloUsbService's process entry and its connection to the service control manager.
#pragma once

#include "common/windows_include.h"

#include <string>

// Runs the service control dispatcher until the service has stopped; returns at
// once when the process was not started by the service control manager.
void MyMain();

// Stopped status record, the interactive window station and desktop, the exit event.
void AttachInteractiveDesktop();

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The name the service runs under ("USB Printer Service KELO" until started).
std::string CurrentServiceName();
