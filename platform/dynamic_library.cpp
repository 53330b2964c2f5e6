#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace qav::platform {

LibraryHandle OpenDynamicLibrary(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void CloseDynamicLibrary(LibraryHandle library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

void* FindLibrarySymbol(LibraryHandle library, const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    return dlsym(library != nullptr ? library : RTLD_DEFAULT, name);
}

}  // namespace qav::platform
