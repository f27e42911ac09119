// SPDX-License-Identifier: Apache-2.0
// The large OK and NG banners that close an update.
#include "app/result_banner.h"

#include <array>

#include "app/console.h"

namespace {

constexpr std::array<const char*, 7> OkBanner = {
    "\n           OOOOOO       K    K", "\n           O    O       K   K",
    "\n           O    O       K  K",   "\n           O    O       KKK",
    "\n           O    O       K  K",   "\n           O    O       K   K",
    "\n           OOOOOO       K    K",
};

// Row 3 keeps its six trailing spaces; every row is 32 characters with its line end.
constexpr std::array<const char*, 7> NgBanner = {
    "\n           N    N       GGGGGGG", "\n           NN   N       G     G",
    "\n           N N  N       G      ", "\n           N  N N       G  GGGG",
    "\n           N   NN       G     G", "\n           N   NN       G     G",
    "\n           N    N       GGGGGGG",
};

}  // namespace

void PrintResultBanner(int transferResult) {
  ConsolePrint("\n");
  for (const char* row : transferResult != 0 ? OkBanner : NgBanner) {
    ConsolePrint("%s", row);
  }
  ConsolePrint("\n");
}
