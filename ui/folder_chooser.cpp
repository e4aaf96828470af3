// The folder chooser: the system's folder dialog, opened on the folder picked last.
#include "ui/window_state.h"
#include <shlobj.h>
#include "app/texts.h"

static int CALLBACK preselect_callback(HWND dialog, UINT message, LPARAM, LPARAM) {
  if (message == BFFM_INITIALIZED)
    SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(ui.chosen_folder));
  return 0;
}

void choose_destination_folder() {
  IMalloc* allocator;
  if (SHGetMalloc(&allocator) < 0) return;
  static wchar_t desktop[MAX_PATH + 1], display_name[MAX_PATH + 1], picked[MAX_PATH + 1];
  desktop[0] = 0;
  LPITEMIDLIST item = nullptr;
  SHGetSpecialFolderLocation(ui.main, CSIDL_DESKTOPDIRECTORY, &item);
  if (item) {
    SHGetPathFromIDListW(item, desktop);
    allocator->Free(item);
  }

  BROWSEINFOW info;
  info.hwndOwner = ui.main;
  info.pidlRoot = nullptr;
  info.pszDisplayName = display_name;
  info.lpszTitle = wide_text(TEXT_CHOOSE_FOLDER);
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;
  // On the desktop itself the dialog's own starting point is that folder already.
  info.lpfn = item && lstrcmpW(ui.chosen_folder, desktop) == 0 ? nullptr : preselect_callback;
  info.lParam = 0;
  info.iImage = 0;

  item = SHBrowseForFolderW(&info);
  if (item) {
    SHGetPathFromIDListW(item, picked);
    SetWindowTextW(ui.folder_edit, picked);
    lstrcpynW(ui.chosen_folder, picked, max_wide_path);
    allocator->Free(item);
  }
  allocator->Release();
}
