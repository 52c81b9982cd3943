// The few operating-system calls the binding needs to reach a shared
// library at run time. One source file per platform implements them
// (library_loader_posix.cpp here); the binding itself stays portable.
#pragma once

#include <QString>

namespace tavorin::loader {

// The link library's file name on this platform.
QString libraryFileName();

// The directory of the running program, or an empty text when the system
// cannot tell.
QString programDirectory();

// Loads the library at `path` (a bare file name goes to the system's
// standard search path). Returns null on failure, with `error` set to the
// system's reason.
void* open(const QString& path, QString& error);

// The address of the export `name`, or null.
void* symbol(void* library, const char* name);

void close(void* library);

}  // namespace tavorin::loader
