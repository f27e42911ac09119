// SPDX-License-Identifier: Apache-2.0
// The transfer dialogue's constants: its commands and replies, the block record's layout, the
// counts of datagrams, tries and reads, and its pauses.
#pragma once

#include <cstdint>

#include "image/image_buffer.h"

/// Commands, one byte each (the probe and the block records begin with theirs). The device
/// answers each with its echo, as a one-byte datagram, before it says how the step went.
inline constexpr uint8_t OpenCommand = 'S';
inline constexpr uint8_t ProbeCommand = 'T';
inline constexpr uint8_t EraseCommand = 'E';
inline constexpr uint8_t ProgramCommand = 'P';
inline constexpr uint8_t VerifyCommand = 'V';
inline constexpr uint8_t FinishCommand = 'R';

/// The one-byte reply after the echo: the step is done, or the device refused it.
inline constexpr uint8_t StepDone = '1';
inline constexpr uint8_t StepRefused = '0';

/// Every reply is read with room for this many bytes; only one-byte replies count.
inline constexpr int ReplyCapacity = 1024;

/// Probe datagrams sent once before the first cycle: `ProbeCommand` and 512 zero bytes.
inline constexpr int ProbeCount = 10;
inline constexpr int ProbeLength = 513;

/// The record that carries one 256-byte block of the image in the program and verify phases:
/// command, a zero byte, the block's byte offset (two 16-bit halves, most significant byte first,
/// masked), the block's data (masked) and the 64-byte pad in clear.
inline constexpr int BlockRecordSize = 326;
inline constexpr int BlockRecordDataSize = ImageBlockSize;
inline constexpr int BlockRecordPadSize = 64;

/// Where each field of a block record starts.
namespace BlockRecordField {
inline constexpr int command = 0;
inline constexpr int reserved = 1;  // never written, so always 0
inline constexpr int offsetHigh = 2;
inline constexpr int offsetLow = 4;
inline constexpr int data = 6;
inline constexpr int pad = 262;
}  // namespace BlockRecordField

/// The pad bytes that mask the four offset bytes: pad[17] to pad[20], record bytes 279 to 282.
inline constexpr int OffsetPadIndex = 17;

/// Most update cycles (erase, program, verify) one transfer runs before it gives up.
inline constexpr int TransferCycles = 30;
/// Reads of the erase wait, each of at most one receive time-out.
inline constexpr int EraseWaitReads = 35;
/// Sends of one record before the cycle fails.
inline constexpr int BlockTries = 5;
/// Replies read and ignored after a failed cycle.
inline constexpr int CycleFailureReads = 3;
/// "R" sent this many times after the dialogue, unanswered, before the socket closes.
inline constexpr int ClosingCommands = 5;

/// Pause before the transfer opens its socket, and between the closing commands.
inline constexpr int StartPauseMilliseconds = 500;
inline constexpr int ClosingPauseMilliseconds = 10;
/// After a step went wrong, replies to it may still be on their way: the next datagram waits
/// until the device has been quiet this long. A step that went right sends at once.
inline constexpr int QuietAfterFailureMilliseconds = 50;
