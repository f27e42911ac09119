// SPDX-License-Identifier: Apache-2.0
// Start-up on Windows: the error mode without message boxes, and Windows Sockets 1.1.
#include "common/platform_startup.h"

// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <windows.h>

namespace {
bool socketLibraryStarted = false;
}  // namespace

void IgnoreWriteFailureSignals() {}

int InitializeFramework() {
  // Keep the system from stopping an unattended update with a message box when a drive or file
  // is missing.
  const UINT mode = SetErrorMode(0);
  SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return 1;
}

int StartSocketLibrary() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    return 0;
  }
  // The program is written against Windows Sockets 1.1 and accepts no other grant.
  if (data.wVersion != MAKEWORD(1, 1)) {
    WSACleanup();
    return 0;
  }
  socketLibraryStarted = true;
  return 1;
}

void StopSocketLibrary() {
  if (socketLibraryStarted) {
    WSACleanup();
    socketLibraryStarted = false;
  }
}
