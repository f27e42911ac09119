// SPDX-License-Identifier: Apache-2.0
// DevicePort: the device's UDP port.
#pragma once

#include <cstdint>

/// The device's UDP port, for the management datagrams and the transfer dialogue alike.
inline constexpr uint16_t DevicePort = 36;
