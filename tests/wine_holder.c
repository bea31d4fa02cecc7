/* Another program that holds a report, as a virus scanner or an editor
 * does, for the Windows end-to-end tests:
 *
 *   holder FILE AFTER MS KEEP|GONE PROGRAM
 *
 * opens FILE without sharing (GONE: to be deleted once closed) and runs
 * PROGRAM. Once AFTER, a report listed after FILE, has left the folder
 * (PROGRAM tried FILE and went on), it holds FILE MS milliseconds more, or
 * until PROGRAM ends, and lets go. It says on standard error which came
 * first, and ends with PROGRAM's exit status (2: it could not start). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  STARTUPINFOA startup;
  PROCESS_INFORMATION program;
  char command[1024];
  DWORD status = 2;
  int gone = argc == 6 && strcmp(argv[4], "GONE") == 0;
  HANDLE file = argc != 6 ? INVALID_HANDLE_VALUE
                          : CreateFileA(argv[1], GENERIC_READ | DELETE, 0,
                                        NULL, OPEN_EXISTING,
                                        gone ? FILE_FLAG_DELETE_ON_CLOSE : 0,
                                        NULL);
  if (file == INVALID_HANDLE_VALUE)
    return 2;
  snprintf(command, sizeof command, "\"%s\"", argv[5]);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL,
                      &startup, &program))
    return 2;
  while (GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES &&
         WaitForSingleObject(program.hProcess, 10) == WAIT_TIMEOUT) {
  }
  fputs(WaitForSingleObject(program.hProcess, strtoul(argv[3], NULL, 10)) ==
                WAIT_OBJECT_0
            ? "ended while held\n"
            : "let go\n",
        stderr);
  CloseHandle(file);
  WaitForSingleObject(program.hProcess, INFINITE);
  GetExitCodeProcess(program.hProcess, &status);
  return (int)status;
}
