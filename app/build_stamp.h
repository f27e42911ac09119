// SPDX-License-Identifier: Apache-2.0
// The date and time this program was built, as the start-up banner shows them.
#pragma once

/// The build's date, "Mmm dd yyyy" (day padded with a space), and time, "hh:mm:ss": the
/// compiler's __DATE__ and __TIME__, which a release takes from the last commit.
extern const char* const BuildDate;
extern const char* const BuildTime;
