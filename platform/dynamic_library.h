// Shared libraries loaded at run time, and lookup of the functions they export.
//
// Typical usage:
//   LibraryHandle library = OpenDynamicLibrary("libexample.so.1");
//   void* entry = FindLibrarySymbol(library, "example_function");  // null when missing
//   ...
//   CloseDynamicLibrary(library);
//
// Any thread may call; a handle may be shared between threads until it is closed.
#pragma once

namespace qav::platform {

// A library opened by OpenDynamicLibrary. Null stands for the main program together with
// the libraries loaded with it.
using LibraryHandle = void*;

// Loads the library (a file name searched the usual way, or a path) and resolves all of its
// symbols at once; null when it cannot be loaded.
LibraryHandle OpenDynamicLibrary(const char* name);

// Releases one OpenDynamicLibrary; null is ignored.
void CloseDynamicLibrary(LibraryHandle library);

// The address of an exported symbol, or null when the library has none of that name.
void* FindLibrarySymbol(LibraryHandle library, const char* name);

}  // namespace qav::platform
