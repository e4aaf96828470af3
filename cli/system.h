// What the tool asks of the system beyond the seam: cli/system_posix.cpp on Linux,
// cli/system_win32.cpp in vantrel.exe. Paths and texts are UTF-8 on both.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>

// The tool's own main, reached from the system's entry point with the arguments as UTF-8.
int vantrel_main(int argc, char** argv);

bool stdout_is_terminal();

// A path for the C++ library's files and std::filesystem.
std::filesystem::path file_path(const std::string& path);
FILE* open_file(const std::string& path, const char* mode);
// Where temporary files go: $TMPDIR or /tmp; the user's temporary folder on Windows.
std::string temporary_folder();
// A new folder only this user can use, named from prefix (a path); false with errno set.
bool make_private_folder(const std::string& prefix, std::string& made);
// Safe in a signal handler.
void remove_file(const char* path);
void remove_folder(const char* path);
void say_on_standard_error(const char* text);
[[noreturn]] void quick_exit_now(int code);

// Standard input copied whole into a temporary file that is gone once the process ends, and
// the path that reads it; false with the reason in `error`.
bool keep_standard_input(std::string& path, std::string& error);

// "YYYY-MM-DD HH:MM:SS" in local time of a time in seconds since 1970; false when it has none.
bool local_time_text(int64_t seconds, char* text, size_t capacity);

// From now on the user's interruptions (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE; Ctrl-C,
// Ctrl-Break, closing the console) call handler with the number whose 128 + n is the exit code
// (the same for Ctrl-C and Ctrl-Break as for SIGINT: 130). The handler may run in a signal
// handler or on another thread.
void on_cancel(void (*handler)(int number));
const char* cancel_name(int number);

// platform_last_write_error()'s reason as text.
std::string write_error_text(int code);
// Whether path is a symbolic link (or, on Windows, a junction or other reparse point).
bool is_link(const std::string& path);
