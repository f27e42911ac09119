// SPDX-License-Identifier: Apache-2.0
// The build's date and time, in a file of their own: it alone is compiled with the release's
// SOURCE_DATE_EPOCH, so a new commit recompiles this file and nothing else.
#include "app/build_stamp.h"

const char* const BuildDate = __DATE__;
const char* const BuildTime = __TIME__;
