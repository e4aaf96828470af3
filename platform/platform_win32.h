// What the Win32 side of the seam offers beyond platform.h, for the stub's user interface
// (which talks to the wide API itself) and for the Windows tests. Includes no OS header.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The static control whose text platform_set_status replaces (nullptr: none, the default).
void platform_win32_set_status_window(void* hwnd);

// UTF-8 to zero-terminated UTF-16 and back. Return the length of the result in units without
// its zero, or -1 when the input is not valid, contains a zero, or the result does not fit in
// capacity (which counts the zero).
int32_t platform_win32_utf8_to_wide(const char* source, size_t length, wchar_t* target,
                                    size_t capacity);
int32_t platform_win32_wide_to_utf8(const wchar_t* source, size_t length, char* target,
                                    size_t capacity);

// Lets DLLs that are loaded by name after start-up (the folder chooser's, for instance) come
// only from the system folder, never from the folder the program was started from: a program
// run from a downloads folder must not pick up a DLL planted beside it. Where the system has
// no SetDefaultDllDirectories (looked up at run time, so older systems still start), the
// current folder at least is taken out of the search. Called first thing at entry.
void platform_win32_restrict_dll_search();
