// SPDX-License-Identifier: Apache-2.0
// What the reporters share: the support check, the device id's and identity's forms, why a device
// was left out, and the written line with the check that standard output took it whole.
#include "devices/reporter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

std::string DeviceName(const std::string& address, const std::optional<DeviceId>& askedId) {
  return address.empty() && askedId ? FormatDeviceId(*askedId) : address;
}

std::string SkipText(ResultReason reason, const Identification& identity) {
  switch (reason) {
    case ResultReason::NotSupported:
    case ResultReason::NoAnswer:
      return "left out, " + IdentityText(identity);
    case ResultReason::NotFound:
      return "not found: no device answered with this id";
    case ResultReason::DuplicateId:
      return "left out, " + IdentityText(identity) + ": more than one device has this id";
    case ResultReason::DryRun:
      return IdentityText(identity) + ", would be updated (dry run)";
    default:
      break;
  }
  std::string name = ReasonName(reason) != nullptr ? ReasonName(reason) : "";
  std::replace(name.begin(), name.end(), '_', ' ');
  return "left out, " + name;
}

std::string Counted(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

namespace {

// The error of the first write to standard output that failed, 0 while none has. Written by the
// reporters and read by main, one call at a time (the reporters' calls never overlap).
int standardOutputFault = 0;

void NoteFault(int& fault, bool failed) {
  if (failed && fault == 0) {
    fault = errno != 0 ? errno : EIO;
  }
}

}  // namespace

void WriteLine(std::FILE* stream, const std::string& line) {
  errno = 0;
  const bool written = std::fputs(line.c_str(), stream) >= 0 && std::fputc('\n', stream) != EOF &&
                       std::fflush(stream) == 0;
  if (stream == stdout) {
    NoteFault(standardOutputFault, !written);
  }
}

std::string CloseStandardOutput() {
  errno = 0;
  NoteFault(standardOutputFault, std::fflush(stdout) != 0 || std::ferror(stdout) != 0);
  NoteFault(standardOutputFault, std::fclose(stdout) != 0);
  return standardOutputFault == 0 ? "" : std::strerror(standardOutputFault);
}

void Complain(const std::string& message) {
  WriteLine(stderr, "torvane-devices: " + message);
}
