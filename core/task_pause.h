#pragma once
// A short pause for code that retries a busy resource: inside a task the
// pause serves the task's messages (Task::wait), elsewhere the thread sleeps.
#include <chrono>

void pauseServingMessages(int ticks, std::chrono::milliseconds outsideTask);
