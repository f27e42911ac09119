// SPDX-License-Identifier: Apache-2.0
// What both reporters share: the support check, the device id's form, and the written line.
#include "devices/reporter.h"

#include <algorithm>
#include <cstdio>

#include "common/text_format.h"

bool IsSupported(const Identification& identity) {
  return identity.result == IdentifyResult::Answered && identity.deviceType == ExpectedDeviceType;
}

std::string FormatDeviceId(const DeviceId& id) {
  return FormatText("%02x:%02x:%02x:%02x:%02x:%02x", id[0], id[1], id[2], id[3], id[4], id[5]);
}

std::string Counted(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

size_t CountUpdated(const std::vector<UpdateRecord>& updates) {
  return static_cast<size_t>(std::count_if(
      updates.begin(), updates.end(), [](const UpdateRecord& update) { return update.updated; }));
}

void WriteLine(std::FILE* stream, const std::string& line) {
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
