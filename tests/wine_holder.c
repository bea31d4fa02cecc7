/* holder FILE AFTER MS KEEP|GONE PROGRAM: holds FILE without sharing (GONE:
 * deleted once let go) and runs PROGRAM; once AFTER has left the folder,
 * holds it MS ms more or until PROGRAM ends, says which came first, lets
 * go, and ends with PROGRAM's exit status (2: it could not start). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  STARTUPINFOA startup = {0};
  PROCESS_INFORMATION run;
  DWORD status = 2;
  char command[1024];
  HANDLE file = argc != 6 ? INVALID_HANDLE_VALUE
                          : CreateFileA(argv[1], GENERIC_READ | DELETE, 0,
                                        NULL, OPEN_EXISTING,
                                        strcmp(argv[4], "GONE") == 0
                                            ? FILE_FLAG_DELETE_ON_CLOSE
                                            : 0,
                                        NULL);
  startup.cb = sizeof startup;
  snprintf(command, sizeof command, "\"%s\"", argc == 6 ? argv[5] : "");
  if (file == INVALID_HANDLE_VALUE ||
      !CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL,
                      &startup, &run))
    return 2;
  while (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES &&
         WaitForSingleObject(run.hProcess, 10) == WAIT_TIMEOUT) {
  }
  fputs(WaitForSingleObject(run.hProcess, strtoul(argv[3], NULL, 10)) ==
                WAIT_OBJECT_0
            ? "ended while held\n"
            : "let go\n",
        stderr);
  CloseHandle(file);
  WaitForSingleObject(run.hProcess, INFINITE);
  GetExitCodeProcess(run.hProcess, &status);
  return (int)status;
}
