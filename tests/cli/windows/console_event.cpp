// vantrel_console_event.exe: delivers a console control event (Ctrl-Break, ...) to a running
// console program, for the tool's tests under Wine.
//
//   vantrel_console_event EVENT IMAGE MARKER
//
// EVENT is the event's number (1: CTRL_BREAK_EVENT). The program waits for one byte on standard
// input, so that it can be started ahead and asked at the right moment without its own start-up
// in between; then it looks for the one process whose image is named IMAGE and whose command
// line contains MARKER (a test's own scratch folder, so that another run of the same program is
// never hit). Windows delivers a console event by starting a thread in the process at
// kernel32's CtrlRoutine, with the event as its argument; this does the same, which reaches the
// events that Wine's GenerateConsoleCtrlEvent does not deliver (all but Ctrl-C).
//
// Exit codes: 0 delivered, 2 usage, 3 no such process, 4 more than one, 5 a call failed (named
// on standard error), 6 standard input ended without asking.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

int failed(const char* what) {
  fprintf(stderr, "vantrel_console_event: %s failed (error %lu)\n", what, GetLastError());
  return 5;
}

// The command line of another process, read from its parameters block; empty when unreadable.
std::wstring command_line_of(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  ULONG length = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                &length) != 0)
    return L"";
  PEB peb;
  RTL_USER_PROCESS_PARAMETERS parameters;
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &got) ||
      !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, &got))
    return L"";
  std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!text.empty() && !ReadProcessMemory(process, parameters.CommandLine.Buffer, text.data(),
                                          parameters.CommandLine.Length, &got))
    return L"";
  return text;
}

// The processes named image with marker on their command line, in found; false when the
// processes cannot be listed.
bool processes_matching(const wchar_t* image, const wchar_t* marker, std::vector<DWORD>& found) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, image) != 0) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                 entry.th32ProcessID);
    if (!process) continue;
    if (command_line_of(process).find(marker) != std::wstring::npos)
      found.push_back(entry.th32ProcessID);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: vantrel_console_event EVENT IMAGE MARKER\n");
    return 2;
  }
  DWORD event = DWORD(wcstoul(argv[1], nullptr, 10));
  const wchar_t* image = argv[2];
  const wchar_t* marker = argv[3];

  // kernel32 forwards CtrlRoutine to kernelbase; the address is the same in every process,
  // as the system's libraries are loaded at the same place in all of them.
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "CtrlRoutine")));
  if (!routine) return failed("GetProcAddress(CtrlRoutine)");

  char asked = 0;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &asked, 1, &got, nullptr) || got != 1) return 6;

  std::vector<DWORD> found;
  if (!processes_matching(image, marker, found)) return failed("CreateToolhelp32Snapshot");
  if (found.empty()) {
    fprintf(stderr, "vantrel_console_event: no running %ls with %ls on its command line\n",
            image, marker);
    return 3;
  }
  if (found.size() > 1) {
    fprintf(stderr, "vantrel_console_event: %zu processes match\n", found.size());
    return 4;
  }
  HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                   PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ,
                               FALSE, found[0]);
  if (!process) return failed("OpenProcess");
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine,
                                     reinterpret_cast<void*>(uintptr_t(event)), 0, nullptr);
  if (!thread) return failed("CreateRemoteThread");
  CloseHandle(thread);
  CloseHandle(process);
  return 0;
}
