#include "net/pause.h"

#include <chrono>
#include <thread>

void PauseMilliseconds(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
