/* A DLL that exists only beside the Windows test programs: loading it by bare name shows
   whether the program's own folder is searched. */
__declspec(dllexport) int vantrel_beside(void) { return 7; }
