// Where libraries may come from. The installer is run from a Downloads folder, where a DLL with
// a system name may have been planted beside it; Windows searches the program's own folder
// first for every library that is not a KnownDLL, including those that system libraries load
// by name on the program's behalf.
#pragma once

namespace vm {

// System libraries outside the KnownDLLs of Vista and 7 that Windows loads by name while the
// installer works: the themed window (uxtheme, dwmapi), version resources (version), profile
// folders (userenv, profapi), shell links (propsys, linkinfo, ntshrui, srvcli, cscapi, slc),
// starting programs (apphelp), security and random numbers (ntmarta, cryptbase) and name
// resolution (mswsock, dnsapi, iphlpapi, winnsi). Names without ".dll", each ending with a zero
// character; an empty name ends the list. Files missing on a given version are skipped.
extern const char kLibrariesLoadedByName[];

// Call first thing in the process. Where SetDefaultDllDirectories exists (Windows 8 and later,
// Vista and 7 with their loader update) every later load searches the system folder only.
// Elsewhere (XP, Vista and 7 without the update) it falls back to preloadSystemLibraries(). The function is looked up, never imported: an
// import would keep the program from starting where it is missing, XP's refusal box included.
void restrictLibrarySearch();

// The fallback: SetDllDirectoryW(L"") takes the current folder out of the search, but the
// program's own folder stays first. So every library of kLibrariesLoadedByName is loaded now
// from the system folder by full path (its own imports resolved from there too): a later load
// by name finds a loaded module of that name and uses it without searching.
void preloadSystemLibraries();

}  // namespace vm
