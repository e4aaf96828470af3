// What the POSIX side of the seam offers beyond platform.h, for the command-line tool: the
// engine's calls stay as they are, and the tool sets up how they treat the destination.
#pragma once

#include <string>

// Every temporary member file starts with this; such a name is never one the tool made for good.
constexpr const char* temporary_file_prefix = ".vantrel-tmp-";

// From now on paths below `destination` (host form, '/' separated) are walked one folder at a
// time from the destination, following no symbolic link: a link where a folder belongs stops
// the walk, and one where a file belongs is looked at itself, never written through. The
// destination and what lies above it are taken as they stand (the user chose them). Member
// files below it are written to a temporary file beside their final name and renamed over it
// once complete and their times are set, so a failed or abandoned member leaves any earlier
// file whole. False when the destination cannot be opened as a folder.
bool platform_confine_below(const char* destination);
// Async-signal-safe: the member being written, and any later one, is discarded when closed
// instead of being put in place.
void platform_abandon_output();
// The system's reason (errno) for the last failed creation, write, close or rename of a member
// file below the destination; 0 when there was none.
int platform_last_write_error();
