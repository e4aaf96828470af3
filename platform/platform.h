// The one seam between the portable code (app, engine, fs) and the operating system.
// Plain functions, chosen at link time: platform_win32.cpp in the stub and the Windows
// tests, platform_posix.cpp on the host.
//
// Every path and text that crosses this seam is UTF-8. The archive stores CP932; the
// portable code converts at the point where it reads archive bytes, so that a Japanese
// name is written correctly whatever the system's ANSI code page is. Paths use '\' as
// their separator on both sides; the POSIX side turns it into '/' when it calls the system.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An open file. Opaque; 0 means "no file".
typedef intptr_t file_handle;
constexpr file_handle no_file = 0;

// ---- Files -------------------------------------------------------------------------------
// The running program's own file, read-only, sharing read access. no_file on failure.
file_handle platform_open_own_file();
// Any existing file, read-only, sharing read access (the command-line tool's archives).
file_handle platform_open_read(const char* path);
// A member file: created anew (replacing an existing one), read-write, sharing read access.
file_handle platform_create_file(const char* path);
// The same where nothing stands under the name yet; no_file when an entry is there, and on any
// other failure (the caller then looks and asks before platform_create_file).
file_handle platform_create_new_file(const char* path);
// Bytes delivered (fewer at the end of the file), or -1 on an error.
int32_t platform_read(file_handle f, void* buffer, int32_t count);
// True when every byte was written.
bool platform_write(file_handle f, const void* buffer, int32_t count);
// Length of the file, or -1 on an error.
int64_t platform_file_size(file_handle f);
// Current read/write position, or -1 on an error.
int64_t platform_file_position(file_handle f);
// Moves the position to an absolute offset; false on an error.
bool platform_seek(file_handle f, int64_t offset);
// False when f was not an open file or the system reported an error.
bool platform_close(file_handle f);
bool platform_delete_file(const char* path);

// ---- Folders and entries -----------------------------------------------------------------
enum entry_kind : uint8_t { entry_none = 0, entry_folder = 1, entry_other = 2 };
entry_kind platform_look_up(const char* path);
bool platform_create_folder(const char* path);
// FILETIME values (100 ns since 1601-01-01 UTC). Where the system keeps no creation time it
// is ignored. False on an error.
bool platform_set_file_times(file_handle f, uint64_t creation, uint64_t last_access,
                             uint64_t last_write);

// ---- User interface ----------------------------------------------------------------------
// Flags and answers carry the Win32 values (MB_* and ID*), on every side.
enum : unsigned {
  mb_ok = 0x00, mb_yesnocancel = 0x03, mb_yesno = 0x04,
  mb_iconerror = 0x10, mb_iconquestion = 0x20, mb_iconwarning = 0x30, mb_iconinformation = 0x40,
};
enum : int { id_ok = 1, id_cancel = 2, id_yes = 6, id_no = 7 };

// owner: an opaque window handle (the main window) or nullptr for a box without owner.
int platform_message_box(void* owner, const char* caption, const char* text, unsigned flags);
// Replaces the text of the progress window's status line.
void platform_set_status(const char* text);
// Lets the window system deliver what is waiting: on Win32, at most every few milliseconds,
// the pending messages of the thread's queue (a bounded number) are dispatched.
void platform_pump_one_message();

// Hooks, for tests and for the command-line tool's progress: a hook set by a test replaces the
// real box (so that a failure under test never waits for a click) or the status line, and the
// pump hook runs where the stub pumps its messages. nullptr restores the default. On POSIX a
// box without a hook is printed and answered with the cautious choice. (The engine's failures,
// stages and questions reach the front end as values, through engine/edge.h.) The Win32 side
// has them only in builds that define VANTREL_TEST_HOOKS (the Windows tests): the stub
// carries none; vantrel.exe (VANTREL_TOOL) has them for its progress and questions.
#if !defined(_WIN32) || VANTREL_TEST_HOOKS || VANTREL_TOOL
typedef int (*message_box_hook)(void* owner, const char* caption, const char* text,
                                unsigned flags);
typedef void (*status_hook)(const char* text);
typedef void (*pump_hook)();
void platform_set_message_box_hook(message_box_hook hook);
void platform_set_status_hook(status_hook hook);
void platform_set_pump_hook(pump_hook hook);
// Observes every platform_write (after it happened); tests check how a member reaches its
// file. Not a replacement: the write is done as usual.
typedef void (*write_hook)(file_handle f, const void* buffer, int32_t count);
void platform_set_write_hook(write_hook hook);
#endif

// ---- Process -----------------------------------------------------------------------------
// The running module's path; returns its length in bytes, or 0 when it does not fit.
size_t platform_module_path(char* buffer, size_t capacity);
[[noreturn]] void platform_exit(int code);

// ---- Text --------------------------------------------------------------------------------
// Converts code page 932 bytes to zero-terminated UTF-8 (and back). Returns the length of the
// result without its zero byte, or -1 when the input is not valid in the source encoding,
// cannot be represented in the target, or does not fit in capacity (which counts the zero).
int32_t platform_cp932_to_utf8(const uint8_t* source, size_t length, char* target,
                               size_t capacity);
int32_t platform_utf8_to_cp932(const char* source, size_t length, uint8_t* target,
                               size_t capacity);
