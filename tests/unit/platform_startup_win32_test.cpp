// winsock2.h must come before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include "app/platform_startup.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// Whether the socket library is started for this process: only then can a socket be made.
bool SocketsAvailable() {
  const SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  if (probe == INVALID_SOCKET) {
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    return false;
  }
  closesocket(probe);
  return true;
}

TEST(InitializeFramework, AddsNoMessageBoxFlagsToTheErrorMode) {
  const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
  ASSERT_EQ(InitializeFramework(), 1);
  const UINT after = SetErrorMode(before);
  EXPECT_EQ(after, UINT{SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
}

TEST(SocketLibrary, StoppingTwiceReleasesOnlyItsOwnStart) {
  // Another start in the same process keeps the library up after the program's own stop, and
  // goes with the last cleanup.
  ASSERT_FALSE(SocketsAvailable());
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  ASSERT_EQ(StartSocketLibrary(), 1);
  StopSocketLibrary();
  StopSocketLibrary();
  EXPECT_TRUE(SocketsAvailable());
  WSACleanup();
  EXPECT_FALSE(SocketsAvailable());
}

}  // namespace
