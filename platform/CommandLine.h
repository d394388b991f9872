// The command line: the options the program understands and the text
// --help prints. Any thread.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {

struct CommandLine {
    bool Headless = false;
    bool Help = false;
    bool Version = false;
    bool Check = false; // check the settings file and exit
    bool Find = false;  // listen on the serial ports for the thermometer and exit
    bool Save = false;  // with Find: write the port found to the settings file
    QString Error;      // non-empty: the arguments were not understood
};

// Parses the arguments after the program name.
CommandLine ParseCommandLine(const QStringList& arguments);

// The text printed by --help.
QString UsageText();

} // namespace platform
