// Round trip of a message between two tasks (post, pipe, wake, handle and
// the reply the same way back) against the floor set by the kernel: a
// 16-byte ping-pong over two plain pipes between two threads.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "core/task.h"

namespace {

std::atomic<int> echoId{0};

// Answers every message with MSG_NOTIFY to the id in arg1.
class Echo : public Task {
 public:
  Echo() : Task("Echo") {}
  void run() override {
    for (;;) wait(-1);
  }
  int handle(TaskMessage* msg) override {
    TaskMessage reply{};
    reply.type = MSG_NOTIFY;
    postToId(msg->arg1, &reply);
    return 0;
  }
};

void taskRoundTrip(benchmark::State& state) {
  Task* self = currentTask();
  for (auto _ : state) {
    TaskMessage ping{};
    ping.type = MSG_ADDRESS_CHANGED;
    ping.arg1 = self->id();
    if (postToId(echoId.load(), &ping) != 0) {
      state.SkipWithError("post failed");
      break;
    }
    // The base handler keeps MSG_NOTIFY, a wake bit: the wait ends on the reply.
    if (self->wait(500) != 2) {
      state.SkipWithError("no reply");
      break;
    }
  }
}
BENCHMARK(taskRoundTrip)->UseRealTime();

void pipePingPong(benchmark::State& state) {
  int there[2];
  int back[2];
  if (pipe(there) != 0 || pipe(back) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  std::thread echo([&] {
    char buffer[16];
    while (read(there[0], buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
      if (write(back[1], buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) break;
    }
  });
  char buffer[16] = {};
  for (auto _ : state) {
    if (write(there[1], buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer) ||
        read(back[0], buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) {
      state.SkipWithError("pipe i/o");
      break;
    }
  }
  close(there[1]);
  echo.join();
  close(there[0]);
  close(back[0]);
  close(back[1]);
}
BENCHMARK(pipePingPong)->UseRealTime();

// Prints as usual and keeps each benchmark's time per iteration.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        nanoseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  std::map<std::string, double> nanoseconds;
};

// Runs the benchmarks on a task's thread, so that they can wait for replies.
class Runner : public Task {
 public:
  Runner(RecordingReporter& reporter, std::promise<void>& done)
      : Task("BenchRunner"), reporter_(reporter), done_(done) {}
  void run() override {
    benchmark::RunSpecifiedBenchmarks(&reporter_);
    done_.set_value();
  }

 private:
  RecordingReporter& reporter_;
  std::promise<void>& done_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  auto* echo = new Echo;
  echoId = echo->start(65536);
  RecordingReporter reporter;
  std::promise<void> done;
  auto* runner = new Runner(reporter, done);
  if (echoId.load() < 0 || runner->start(65536) < 0) {
    std::fprintf(stderr, "could not start the benchmark tasks\n");
    return 1;
  }
  done.get_future().wait();

  TaskMessage terminate{};
  terminate.type = MSG_TERMINATE;
  broadcast(&terminate);

  auto task = reporter.nanoseconds.find("taskRoundTrip");
  auto pipe = reporter.nanoseconds.find("pipePingPong");
  if (task != reporter.nanoseconds.end() && pipe != reporter.nanoseconds.end() && pipe->second > 0) {
    std::printf("task message round trip: %.0f ns, plain pipe ping-pong: %.0f ns, ratio: %.2f\n",
                task->second, pipe->second, task->second / pipe->second);
  }
  while (listedTaskCount() > 0) usleep(1000);
  return 0;
}
