// The Win32 side for vantrel.exe only, beyond what the stub shares (platform_win32.cpp):
// conversions with std::string, paths of any length, the system's reasons as text, and the
// tool's hold on the destination (platform_posix.h's functions). Never linked into the stub.
// Includes no OS header.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

#include "platform/platform.h"

// Every temporary member file starts with this; such a name is never one the tool made for good.
constexpr const char* temporary_file_prefix = ".vantrel-tmp-";

std::wstring tool_wide(const std::string& utf8);
std::string tool_utf8(const wchar_t* text, size_t length);
std::string tool_utf8(const std::wstring& text);
// A path as the wide API takes it at any length: absolute, '\' separated, after "\\?\" (or
// "\\?\UNC\" for a share). Relative paths are taken from the current folder.
std::wstring tool_long_path(const std::string& utf8);
// The system's reason for a failure (a GetLastError code), in the system's words.
std::string tool_error_text(unsigned long code);

// As in platform_posix.h: member files below `destination` go to a temporary file beside their
// final name and are renamed over it once complete, and nothing is created through a link or
// junction below it.
bool platform_confine_below(const char* destination);
void platform_abandon_output();
// The system's code (GetLastError) for the last failed creation, write or rename of a member.
int platform_last_write_error();

// Called by platform_win32.cpp in the tool's build (VANTREL_TOOL): the wide form of a seam
// path in `target`, and the member files' creation and closing.
const wchar_t* tool_seam_path(const char* path, wchar_t* target, size_t capacity);
file_handle tool_create_member(const char* path, bool only_new);
bool tool_close(file_handle f, bool& handled);
bool tool_delete_file(const char* path, bool& handled);
bool tool_folder_allowed(const char* path);
void tool_times_set(file_handle f, bool ok);
// Ends the process from wherever a failure struck (platform_exit): what was printed is
// flushed and the tool's temporary files are removed first.
[[noreturn]] void tool_exit(int code);
// Run by tool_exit and at a normal end: removes a temporary file the tool keeps (one at most).
void tool_remove_at_exit(const std::wstring& path);
