// SPDX-License-Identifier: Apache-2.0
// Which devices a command concerns: discovery by broadcast, the identification of every device at
// once, devices named by id, and the plan of an update, before anything is written to any device.
#pragma once

#include <string>
#include <vector>

#include "devices/command_line.h"
#include "devices/reporter.h"

/// The devices that `options` name, each identified, before anything is written to any of them:
/// for list and update --all every device that answers discovery, in numeric order; for info
/// and update the addresses given, then the devices of the ids given (found by discovery), each
/// device once. An id that no device answered with is an entry without address (`NotFound`); one
/// that several answered with gives an entry for each of them (`DuplicateId`). Every device is
/// identified from one socket under one deadline, a second after the last request. Tells
/// `reporter` what it hears and identifies as it goes, and notes what was taken once, what
/// discovery refused, lost or could not send.
std::vector<ListedDevice> SelectDevices(const DevicesOptions& options, Reporter& reporter);

/// The devices of an update, in their order, as records not yet started, each with the identity
/// that `SelectDevices` found (`Skipped` without a reason): those with a reason are left out: an
/// id not found or shared, and with --all a device of another type (`NotSupported`) or one that
/// did not answer to identify (`NoAnswer`). A device named by address or id is left to its update,
/// whatever it answered here.
std::vector<DeviceRecord> PlanUpdate(const DevicesOptions& options, Reporter& reporter);
