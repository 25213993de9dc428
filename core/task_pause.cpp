#include "core/task_pause.h"

#include <thread>

#include "core/task.h"

void pauseServingMessages(int ticks, std::chrono::milliseconds outsideTask) {
  if (Task* task = currentTask()) {
    task->wait(ticks, 0);
    return;
  }
  std::this_thread::sleep_for(outsideTask);
}
