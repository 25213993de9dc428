#include "core/task_pause.h"

#include <thread>

void pauseServingMessages(int /*ticks*/, std::chrono::milliseconds outsideTask) {
  std::this_thread::sleep_for(outsideTask);
}
