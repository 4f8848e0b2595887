// DLLs that are not among Windows' known DLLs, loaded from the system folder
// only. A program that imports such a DLL in its import table gets whichever
// file of that name lies beside it (a Downloads folder), before any of its
// own code runs; loaded here instead, a planted copy is never looked at.
#pragma once

#include "os/win32/Handle.h"

#include <windows.h>

namespace os::win32 {

// A loaded DLL, freed with FreeLibrary.
struct LibraryKind {
    using Value = HMODULE;
    static Value none() { return nullptr; }
    static void close(Value module) { ::FreeLibrary(module); }
};
using Library = Handle<LibraryKind>;

// Restricts the search of every later load without a folder of its own (the
// DLLs that the system's own DLLs load as they go) to the system folder: not
// the program's folder, not the current one, not PATH. Called first thing,
// before anything else loads.
inline void searchSystemFolderOnly()
{
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The DLL `name` from the system folder; not open where it is not there.
inline Library systemLibrary(const wchar_t *name)
{
    return Library(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// The function `name` of `library` as a `Function`, or null where the library
// did not load or has no such function.
template <typename Function>
Function *libraryFunction(const Library &library, const char *name)
{
    if (!library.isOpen())
        return nullptr;
    // Through the generic function type, which any function pointer converts
    // from and to without a warning.
    return reinterpret_cast<Function *>(reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), name)));
}

// Registers the given classes of the common controls (comctl32.dll, version 6
// through the program's manifest), loaded once from the system folder and
// kept for the process: imported instead, it would be loaded with the
// program, and the DLLs it imports itself (the theme library) from the
// program's folder, before any of the program's code had restricted the
// search. False where the library or its function did not load.
bool initCommonControls(DWORD classes);

} // namespace os::win32
