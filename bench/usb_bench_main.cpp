// The USB server measured against a TCP relay in the same run: bulk
// IN and OUT throughput for transfer sizes from 512 bytes to 1 MiB and
// pipeline depths 1 to 8, over plain TCP and TLS; the round trip of a
// control transfer and of an interrupt transfer; the server's CPU time per
// GB moved; and the resident memory with the most clients connected.
//
// Everything runs in this process, in a network namespace of its own, over
// loopback: the server on the simulated usbfs with a source-and-sink device,
// the relays (the baselines, plain and TLS, see usb_bench_relay.h), and the
// clients, which are the independent protocol client of tools/usbclient on
// the benchmark's thread. A figure's ratio is server / relay (throughput:
// higher is better; round trip: lower is better): both transports against
// the plain relay, and TLS also against the TLS relay.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "usbserver/usb_server.h"
#include "bench/usb_bench_env.h"
#include "bench/usb_bench_probe.h"
#include "bench/usb_bench_relay.h"
#include "bench/usb_bench_server.h"
#include "core/task_table.h"
#include "sim/usb/sim_source_sink.h"
#include "tools/usbclient/usb_client.h"

namespace {

using namespace usbclient;

enum class Mode { Relay, TlsRelay, Plain, Tls };
constexpr Mode kModes[] = {Mode::Relay, Mode::TlsRelay, Mode::Plain, Mode::Tls};
const char* modeName(Mode m) {
  static const char* const names[] = {"relay", "tls_relay", "plain", "tls"};
  return names[static_cast<int>(m)];
}
bool isRelay(Mode m) { return m == Mode::Relay || m == Mode::TlsRelay; }

constexpr uint32_t kSizes[] = {512, 4096, 65536, 1u << 20};
constexpr int kDepths[] = {1, 2, 4, 8};
constexpr double kMinSeconds = 0.5;

// ---- clients -----------------------------------------------------------

struct Session {
  std::unique_ptr<UsbClient> client;
  DeviceRef device;
};

struct BenchRun {
  BenchServer server;
  FramedRelay relay{false};
  FramedRelay tlsRelay{true};
  std::map<Mode, Session> sessions;
};
// The run's server, relay and clients, for the benchmark functions.
BenchRun* active = nullptr;

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

std::unique_ptr<UsbClient> openClient(uint16_t port, bool tls, std::string& error) {
  ServerAddress address;
  address.host = "127.0.0.1";
  address.port = port;
  address.tls = tls;
  std::unique_ptr<Transport> transport = openTransport(address, error);
  return transport ? std::make_unique<UsbClient>(std::move(transport)) : nullptr;
}

// The source-and-sink device's counters: bytes taken on OUT, sent on IN.
bool readCounters(Session& s, uint64_t& taken, uint64_t& sent) {
  UrbResult r;
  const SetupPacket counters{0xC0, SimSourceSink::kCountersRequest, 0, 0, SimSourceSink::kCountersSize};
  if (s.client->control(s.device, counters, {}, SimSourceSink::kCountersSize, r) != 0 || !r.status.ok() ||
      r.data.size() != SimSourceSink::kCountersSize) {
    return false;
  }
  taken = le64(r.data.data());
  sent = le64(r.data.data() + 8);
  return true;
}

// Lists, connects and configures the device on `port`, then checks that IN
// data arrives as the device sent it. Empty on success.
std::string openServerSession(Mode mode, int port, Session& s) {
  std::string error;
  s.client = openClient(static_cast<uint16_t>(mode == Mode::Tls ? active->server.tlsPort() : active->server.plainPort()),
                        mode == Mode::Tls, error);
  if (!s.client) return "connect: " + error;
  VersionInfo version;
  Status status;
  std::vector<DeviceEntry> devices;
  if (s.client->version(true, version, status) != 0 || s.client->deviceList({}, devices, status) != 0) {
    return "version or device list failed";
  }
  bool found = false;
  for (const DeviceEntry& d : devices) {
    if (d.device.port == port && d.vendorId() == 0x1D50 && d.productId() == 0x6002) {
      s.device = d.device;
      found = true;
    }
  }
  if (!found) return "the source-and-sink device is not listed on port " + std::to_string(port);
  const InterfaceSetting interface0{0, 0};
  if (s.client->connect(s.device, "usbbench", status) != 0 || !status.ok()) return "CONNECT: " + statusText(status);
  if (s.client->setConfiguration(s.device, 1, {&interface0, 1}, status) != 0 || !status.ok()) {
    return "SET_CONFIG: " + statusText(status);
  }
  uint64_t taken = 0, sent = 0;
  if (!readCounters(s, taken, sent)) return "the counters request failed";
  UrbRequest in{s.device, SimSourceSink::kBulkIn, TransferType::Bulk, 200000, 0};
  UrbResult r;
  if (s.client->transfer(in, {}, r) != 0 || !r.status.ok() || r.data.size() != 200000) return "bulk IN failed";
  for (size_t i = 0; i < r.data.size(); ++i) {
    if (r.data[i] != SimSourceSink::patternAt(sent + i)) return "IN byte " + std::to_string(i) + " differs";
  }
  return {};
}

std::string openSessions() {
  std::string error;
  for (FramedRelay* relay : {&active->relay, &active->tlsRelay}) {
    const bool tls = relay == &active->tlsRelay;
    Session& s = active->sessions[tls ? Mode::TlsRelay : Mode::Relay];
    s.client = openClient(relay->port(), tls, error);
    if (!s.client) return std::string(tls ? "TLS relay: " : "relay: ") + error;
  }
  const struct {
    Mode mode;
    int port;
  } server[] = {{Mode::Plain, BenchServer::kPlainDevicePort}, {Mode::Tls, BenchServer::kTlsDevicePort}};
  for (const auto& s : server) {
    error = openServerSession(s.mode, s.port, active->sessions[s.mode]);
    if (!error.empty()) return std::string(modeName(s.mode)) + ": " + error;
  }
  return {};
}

uint64_t serverSideCpu(Mode mode) {
  switch (mode) {
    case Mode::Relay: return active->relay.cpuNanos();
    case Mode::TlsRelay: return active->tlsRelay.cpuNanos();
    default: return threadCpuNanosByName("UsbSrvd");
  }
}

// ---- benchmarks ----------------------------------------------------------

// Keeps `depth` transfers of `size` bytes in flight; one iteration is one
// transfer completed and the next one submitted.
void bulk(benchmark::State& state, Mode mode, bool in, uint32_t size, int depth) {
  Session& s = active->sessions.at(mode);
  const UrbRequest urb{s.device, in ? SimSourceSink::kBulkIn : SimSourceSink::kBulkOut, TransferType::Bulk,
                       in ? size : 0, in ? 0 : size};
  const std::vector<uint8_t> out(in ? 0 : size, 0x3C);
  // The device counts what it took and sent: OUT bytes are checked at the
  // end, IN data by the first and last byte of every transfer.
  const bool counted = !isRelay(mode);
  uint64_t takenBefore = 0, streamOffset = 0;
  if (counted && !readCounters(s, takenBefore, streamOffset)) {
    state.SkipWithError("counters");
    return;
  }
  std::deque<uint32_t> tags;
  auto submitOne = [&] {
    uint32_t tag = 0;
    if (s.client->submit(urb, out, tag) != 0) return false;
    tags.push_back(tag);
    return true;
  };
  auto awaitOne = [&] {
    UrbResult r;
    bool ok = s.client->await(tags.front(), r) == 0 && r.status.ok() && (!in || r.data.size() == size);
    tags.pop_front();
    if (ok && in && counted) {
      ok = r.data.front() == SimSourceSink::patternAt(streamOffset) &&
           r.data.back() == SimSourceSink::patternAt(streamOffset + size - 1);
      streamOffset += size;
    }
    return ok;
  };
  const uint64_t serverBefore = serverSideCpu(mode);
  const uint64_t clientBefore = ownCpuNanos();
  bool failed = false;
  for (int i = 0; i < depth && !failed; ++i) failed = !submitOne();
  for (auto _ : state) {
    if (failed || !awaitOne() || !submitOne()) {
      failed = true;
      break;
    }
  }
  while (!failed && !tags.empty()) failed = !awaitOne();
  if (failed) {
    // Collect what is still outstanding, so that the next run starts in step.
    for (; !tags.empty(); tags.pop_front()) {
      UrbResult r;
      s.client->await(tags.front(), r);
    }
    state.SkipWithError("transfer failed");
    return;
  }
  const uint64_t moved = (uint64_t(state.iterations()) + uint64_t(depth)) * size;
  const double gb = double(moved) / 1e9;
  state.counters["srv_cpu_s_per_GB"] = double(serverSideCpu(mode) - serverBefore) / 1e9 / gb;
  state.counters["cli_cpu_s_per_GB"] = double(ownCpuNanos() - clientBefore) / 1e9 / gb;
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
  uint64_t takenAfter = 0, sent = 0;
  if (counted && !in && (!readCounters(s, takenAfter, sent) || takenAfter - takenBefore != moved)) {
    state.SkipWithError("the device did not receive every OUT byte");
  }
}

void controlRoundTrip(benchmark::State& state, Mode mode) {
  Session& s = active->sessions.at(mode);
  const SetupPacket counters{0xC0, SimSourceSink::kCountersRequest, 0, 0, SimSourceSink::kCountersSize};
  UrbResult r;
  for (auto _ : state) {
    if (s.client->control(s.device, counters, {}, SimSourceSink::kCountersSize, r) != 0 || !r.status.ok() ||
        r.data.size() != SimSourceSink::kCountersSize) {
      state.SkipWithError("control transfer failed");
      break;
    }
  }
}

void interruptRoundTrip(benchmark::State& state, Mode mode) {
  Session& s = active->sessions.at(mode);
  const UrbRequest poll{s.device, SimSourceSink::kInterruptIn, TransferType::Interrupt,
                        SimSourceSink::kInterruptSize, 0};
  UrbResult r;
  for (auto _ : state) {
    if (s.client->transfer(poll, {}, r) != 0 || !r.status.ok() || r.data.size() != SimSourceSink::kInterruptSize) {
      state.SkipWithError("interrupt transfer failed");
      break;
    }
  }
}

std::string bulkName(Mode mode, bool in, uint32_t size, int depth) {
  return std::string(in ? "bulk_in/" : "bulk_out/") + modeName(mode) + "/size:" + std::to_string(size) +
         "/depth:" + std::to_string(depth);
}

void registerBenchmarks() {
  for (bool in : {false, true}) {
    for (uint32_t size : kSizes) {
      for (int depth : kDepths) {
        for (Mode mode : kModes) {
          benchmark::RegisterBenchmark(bulkName(mode, in, size, depth).c_str(), bulk, mode, in, size, depth)
              ->MinTime(kMinSeconds)
              ->UseRealTime();
        }
      }
    }
  }
  for (Mode mode : kModes) {
    benchmark::RegisterBenchmark((std::string("control_rtt/") + modeName(mode)).c_str(), controlRoundTrip, mode)
        ->MinTime(kMinSeconds)
        ->UseRealTime();
    benchmark::RegisterBenchmark((std::string("interrupt_rtt/") + modeName(mode)).c_str(), interruptRoundTrip, mode)
        ->MinTime(kMinSeconds)
        ->UseRealTime();
  }
}

// ---- resident memory -------------------------------------------------------

bool waitFor(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Connects as many clients as the server serves, each with a version and a
// device list request, and compares VmRSS with the figure before; then
// checks that one more client is turned away.
struct MemoryFigures {
  long baseKib = 0;
  long fullKib = 0;
  int clients = 0;
  bool extraRefused = false;
};

std::string measureClientMemory(MemoryFigures& m) {
  const int limit = active->server.clientLimit();
  m.baseKib = residentKib();
  std::vector<std::unique_ptr<UsbClient>> clients;
  std::string error;
  for (int i = 0; i < limit; ++i) {
    auto client = openClient(static_cast<uint16_t>(active->server.plainPort()), false, error);
    if (!client) return "client " + std::to_string(i + 1) + ": " + error;
    VersionInfo version;
    Status status;
    std::vector<DeviceEntry> devices;
    const int rc = client->version(true, version, status);
    if (rc != 0 || client->deviceList({}, devices, status) != 0) {
      return "client " + std::to_string(i + 1) + " was not served (" + clientErrorText(rc) + ", " +
             std::to_string(active->server.connections()) + " connection tasks)";
    }
    clients.push_back(std::move(client));
  }
  if (!waitFor([&] { return active->server.connections() == limit; }, 5000)) return "connection count";
  m.clients = limit;
  m.fullKib = residentKib();
  auto extra = openClient(static_cast<uint16_t>(active->server.plainPort()), false, error);
  if (extra) {
    extra->setTimeout(2000);
    VersionInfo version;
    Status status;
    // Closed without a byte: the end of the stream, or a reset when the
    // request was still unread.
    const int rc = extra->version(true, version, status);
    m.extraRefused = rc == kPeerClosed || rc == kIoError;
  }
  extra.reset();
  clients.clear();
  if (!waitFor([&] { return active->server.connections() == 0; }, 10000)) return "clients did not go away";
  return {};
}

// ---- summary -----------------------------------------------------------------

struct Figure {
  double nsPerIteration = 0;
  double bytesPerSecond = 0;
  double serverCpu = 0;  // s/GB
  double clientCpu = 0;
};

// Prints as usual and keeps each run's figures by name.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      Figure f;
      f.nsPerIteration = run.GetAdjustedRealTime();
      if (auto it = run.counters.find("bytes_per_second"); it != run.counters.end()) f.bytesPerSecond = it->second;
      if (auto it = run.counters.find("srv_cpu_s_per_GB"); it != run.counters.end()) f.serverCpu = it->second;
      if (auto it = run.counters.find("cli_cpu_s_per_GB"); it != run.counters.end()) f.clientCpu = it->second;
      figures[run.run_name.function_name] = f;
    }
  }
  std::map<std::string, Figure> figures;
};

const Figure* find(const RecordingReporter& r, const std::string& name) {
  auto it = r.figures.find(name);
  return it == r.figures.end() ? nullptr : &it->second;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

// One row's figures of every mode, or why there is no row.
struct Row {
  const Figure* f[4] = {};
  bool selected() const { return f[0] || f[1] || f[2] || f[3]; }
  bool complete() const { return f[0] && f[1] && f[2] && f[3]; }
  const Figure& operator[](Mode m) const { return *f[static_cast<int>(m)]; }
};

template <typename NameOf>
Row rowOf(const RecordingReporter& r, NameOf nameOf) {
  Row row;
  for (Mode m : kModes) row.f[static_cast<int>(m)] = find(r, nameOf(m));
  return row;
}

void printSummary(const RecordingReporter& r, const MemoryFigures& m) {
  std::printf("\nBulk throughput in MB/s; plain and tls as a share of the plain relay, tls also of the TLS relay;\n"
              "server CPU in s per GB moved (the relay's thread for a relay)\n");
  std::printf("%-4s %8s %5s | %7s %7s %5s %7s %5s | %7s %5s | %6s %6s %6s %6s\n", "dir", "size", "depth", "relay",
              "plain", "ratio", "tls", "ratio", "tlsrly", "ratio", "cpu-rl", "cpu-pl", "cpu-tr", "cpu-tl");
  for (bool in : {false, true}) {
    for (uint32_t size : kSizes) {
      for (int depth : kDepths) {
        const Row row = rowOf(r, [&](Mode mode) { return bulkName(mode, in, size, depth); });
        if (!row.selected()) continue;
        if (!row.complete()) {
          std::printf("%-4s %8u %5d | a run failed\n", in ? "IN" : "OUT", size, depth);
          continue;
        }
        auto mbs = [&](Mode mode) { return row[mode].bytesPerSecond / 1e6; };
        std::printf("%-4s %8u %5d | %7.1f %7.1f %5.2f %7.1f %5.2f | %7.1f %5.2f | %6.2f %6.2f %6.2f %6.2f\n",
                    in ? "IN" : "OUT", size, depth, mbs(Mode::Relay), mbs(Mode::Plain),
                    ratio(mbs(Mode::Plain), mbs(Mode::Relay)), mbs(Mode::Tls), ratio(mbs(Mode::Tls), mbs(Mode::Relay)),
                    mbs(Mode::TlsRelay), ratio(mbs(Mode::Tls), mbs(Mode::TlsRelay)), row[Mode::Relay].serverCpu,
                    row[Mode::Plain].serverCpu, row[Mode::TlsRelay].serverCpu, row[Mode::Tls].serverCpu);
      }
    }
  }
  std::printf("\nRound trips in microseconds; the relay is a TCP echo of the same messages\n");
  for (const char* kind : {"control_rtt", "interrupt_rtt"}) {
    const Row row = rowOf(r, [&](Mode mode) { return std::string(kind) + "/" + modeName(mode); });
    if (!row.selected()) continue;
    if (!row.complete()) {
      std::printf("%-14s a run failed\n", kind);
      continue;
    }
    auto us = [&](Mode mode) { return row[mode].nsPerIteration / 1e3; };
    std::printf("%-14s echo %6.1f | plain %6.1f (%.2f) | tls %6.1f (%.2f) | TLS echo %6.1f, tls %.2f of it\n", kind,
                us(Mode::Relay), us(Mode::Plain), ratio(us(Mode::Plain), us(Mode::Relay)), us(Mode::Tls),
                ratio(us(Mode::Tls), us(Mode::Relay)), us(Mode::TlsRelay), ratio(us(Mode::Tls), us(Mode::TlsRelay)));
  }
  std::printf("\nResident memory: %ld KiB before, %ld KiB with %d clients (%.2f of before, %.0f KiB per client); "
              "client %d %s\n",
              m.baseKib, m.fullKib, m.clients, ratio(double(m.fullKib), double(m.baseKib)),
              m.clients > 0 ? double(m.fullKib - m.baseKib) / m.clients : 0.0, m.clients + 1,
              m.extraRefused ? "was turned away" : "was NOT turned away");
}

}  // namespace

int main(int argc, char** argv) {
  // The namespace must come first: threads started later inherit it.
  if (std::string error = enterPrivateNetwork(); !error.empty()) {
    std::fprintf(stderr, "usb_bench: %s (run as root)\n", error.c_str());
    return 1;
  }
  // The server runs with the allocator settings the appliance gives it.
  UsbServer::keepFreedTransferMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  BenchRoot root;
  if (!root.ok()) {
    std::fprintf(stderr, "usb_bench: no temporary root directory\n");
    return 1;
  }
  if (std::string error = writeOwnCertificatePair(); !error.empty()) {
    std::fprintf(stderr, "usb_bench: %s\n", error.c_str());
    return 1;
  }
  auto state = std::make_unique<BenchRun>();
  active = state.get();
  std::string error = active->server.start();
  if (error.empty()) error = active->relay.start();
  if (error.empty()) error = active->tlsRelay.start();
  MemoryFigures memory;
  if (error.empty()) error = measureClientMemory(memory);
  if (error.empty()) error = openSessions();
  if (!error.empty()) {
    std::fprintf(stderr, "usb_bench: %s\n", error.c_str());
    return 1;
  }

  registerBenchmarks();
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printSummary(reporter, memory);

  active->sessions.clear();
  active = nullptr;
  state.reset();
  return 0;
}
