// The stub's entry point. The stub links no C runtime (it would cost about 11 KB of the
// stub's bytes), so the loader jumps straight here: no static constructors run, nothing is
// set up, and the process must be ended explicitly.
#include <windows.h>

#include "platform/platform_win32.h"
#include "ui/ui.h"

// The loader guarantees only 4-byte stack alignment; realign once here so that nothing below
// has to care.
extern "C" __attribute__((force_align_arg_pointer)) void __stdcall stub_entry() {
  platform_win32_restrict_dll_search();
  ExitProcess(static_cast<UINT>(stub_main()));
}
