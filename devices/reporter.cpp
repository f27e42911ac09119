// SPDX-License-Identifier: Apache-2.0
// What both reporters share: the support check, the device id's and identity's forms, and the
// written line.
#include "devices/reporter.h"

#include <cstdio>

#include "common/text_format.h"

bool IsSupported(const Identification& identity) {
  return identity.result == IdentifyResult::Answered && identity.deviceType == ExpectedDeviceType;
}

std::string FormatDeviceId(const DeviceId& id) {
  return FormatText("%02x:%02x:%02x:%02x:%02x:%02x", id[0], id[1], id[2], id[3], id[4], id[5]);
}

std::string IdentityText(const Identification& identity) {
  if (identity.result == IdentifyResult::SocketError) {
    return "cannot open a UDP socket";
  }
  if (identity.result == IdentifyResult::NoAnswer) {
    return "no answer to identify";
  }
  return "type " + std::to_string(identity.deviceType) +
         (IsSupported(identity) ? " (supported)" : " (not supported)") + ", id " +
         FormatDeviceId(identity.deviceId);
}

std::string Counted(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

void WriteLine(std::FILE* stream, const std::string& line) {
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void Complain(const std::string& message) {
  WriteLine(stderr, "torvane-devices: " + message);
}
