// What the host program asks of the operating system, on Linux and on
// Windows alike: where it is, loading the plug-in, the terminal, free space.
#pragma once

#include "host/error.h"
#include "plugin/plugin.h"

#include <cstdint>
#include <string>

// The folder of the running program.
std::string ProgramDirectory();

// The plug-in's file name on this system.
const char* PluginFileName();

// The plug-in's CreatePlugIn into create, loaded as the modelling host loads
// it; kBadInput with the system's reason when it cannot be. Handed the
// program's request, the plug-in shows nothing; on Windows a dialog or message
// box it shows all the same (a plug-in of another version) goes to the
// stand-ins, as on Linux, and never opens a window in a console program.
Error LoadPlugIn(const std::string& path, CreatePlugInFunction& create);

// First thing in the program. On Windows: its own export run shows its message
// box and save dialog through the stand-ins too (its calls would reach the
// system's). (The console's UTF-8: platform/utf8_console_windows.cpp.)
void PrepareProgram();

// The plug-in object's operations, called as the modelling host calls them
// (on Windows through the table the host's compiler lays out).
int32_t PlugInKind(PlugInBase* plugin);
const char* PlugInCaption(PlugInBase* plugin);
int32_t RunPlugIn(PlugInBase* plugin, hmModel* model);
void DeletePlugIn(PlugInBase* plugin);

bool InputIsTerminal();

// The longest file name the folder's file system takes (0 when unknown).
long LongestFileName(const std::string& folder);

// The bytes free to this user in the file system holding folder, and which
// file system that is; false when it cannot be told.
bool FreeSpace(const std::string& folder, uint64_t& freeBytes, uint64_t& fileSystem);
