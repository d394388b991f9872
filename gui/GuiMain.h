// The windows' side of the program: the services the core and the serial
// component ask of a desktop (message boxes, busy cursor, port dialog), and
// the views built around the core.
//
// Main thread, after the QApplication exists.
#pragma once

// Installs the message boxes and the serial component's desktop services.
void InstallGuiServices();
