/* The floor the launcher is measured against: a service that does the least
 * the platform allows. It starts the benchmark's client with a fixed command
 * line, reports running, waits, and ends the client on a stop request. No
 * registry, no string building, no C++ runtime. Not shipped. */
#include <windows.h>

static SERVICE_STATUS_HANDLE g_handle;
static SERVICE_STATUS g_status;
static HANDLE g_stop;

static void report(DWORD state, DWORD exit_code) {
  g_status.dwCurrentState = state;
  g_status.dwWin32ExitCode = exit_code;
  SetServiceStatus(g_handle, &g_status);
}

static void WINAPI handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    report(SERVICE_STOP_PENDING, 0);
    SetEvent(g_stop);
  }
}

static void WINAPI service_main(DWORD argc, LPSTR* argv) {
  char command[] =
      "\"C:\\ProgramData\\Quorvel\\service\\bin\\vbench\\quorvel_client.exe\" "
      "-action=service";
  STARTUPINFOA startup;
  PROCESS_INFORMATION info;
  HANDLE handles[2];
  (void)argc;
  (void)argv;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  g_handle = RegisterServiceCtrlHandlerA("quorvel-reference", handler);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, "C:\\",
                      &startup, &info)) {
    report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
    return;
  }
  CloseHandle(info.hThread);
  report(SERVICE_RUNNING, 0);
  handles[0] = g_stop;
  handles[1] = info.hProcess;
  if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, 0);
    report(SERVICE_STOPPED, 0);
  } else {
    report(SERVICE_STOPPED, ERROR_PROCESS_ABORTED);
  }
  CloseHandle(info.hProcess);
}

int main(void) {
  SERVICE_TABLE_ENTRYA table[] = {{"quorvel-reference", service_main},
                                  {NULL, NULL}};
  return StartServiceCtrlDispatcherA(table) ? 0 : (int)GetLastError();
}
