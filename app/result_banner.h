// SPDX-License-Identifier: Apache-2.0
// The result banner printed after the transfer.
#pragma once

/// Prints the large result banner that closes an update: a line end, the seven rows of the OK
/// banner when `transferResult` is not 0 (the NG banner when it is 0), one print per row, and a
/// line end.
void PrintResultBanner(int transferResult);
