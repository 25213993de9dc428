#include "usbserver/usb_server_task.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>

#include "core/task_message.h"
#include "core/task_table.h"
#include "core/tick_clock.h"
#include "usbserver/urb_engine.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_server_hooks.h"

namespace {

// The listener waits this long at most, so that plug-in and removal are
// noticed within about a second even when no client is active.
constexpr int kListenerDispatchMs = 1000;
constexpr int kClientDispatchMs = 5000;
constexpr int64_t kCleanupTicks = 100;

}  // namespace

int UsbServerTasks::connectionCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return connections_;
}

void UsbServerTasks::connectionCreated() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++connections_;
}

void UsbServerTasks::connectionEnded(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  --connections_;
  connectionIds_.erase(id);
  changed_.notify_all();
}

bool UsbServerTasks::connectionRunning(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (stopping_) return false;
  connectionIds_.insert(id);
  return true;
}

void UsbServerTasks::listenerStarted(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  listenerId_ = id;
}

void UsbServerTasks::listenerEnded() {
  std::lock_guard<std::mutex> guard(mutex_);
  listenerGone_ = true;
  changed_.notify_all();
}

void UsbServerTasks::stopAll() {
  // Posting takes the task table's lock, so it happens outside mutex_.
  const auto terminate = [](int id) {
    TaskMessage message{};
    message.type = MSG_TERMINATE;
    postToId(id, &message);
  };
  std::unique_lock<std::mutex> lock(mutex_);
  while (listenerId_ > 0 && !listenerGone_) {
    const int id = listenerId_;
    lock.unlock();
    terminate(id);
    lock.lock();
    changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return listenerGone_; });
  }
  stopping_ = true;
  while (connections_ > 0) {
    const std::vector<int> ids(connectionIds_.begin(), connectionIds_.end());
    lock.unlock();
    for (const int id : ids) terminate(id);
    lock.lock();
    changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return connections_ == 0; });
  }
}

void UsbServerTasks::recordTlsDescription(const std::string& description) {
  std::lock_guard<std::mutex> guard(mutex_);
  tlsDescription_ = description;
}

std::string UsbServerTasks::tlsDescription() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return tlsDescription_;
}

UsbSrvd::UsbSrvd(UsbServerSetup setup) : Task("UsbSrvd"), setup_(std::move(setup)) {}

UsbSrvd::~UsbSrvd() {
  closeListeners();
  setup_.tasks.listenerEnded();
}

int UsbSrvd::handle(TaskMessage* msg) {
  const int type = Task::handle(msg);
  if (msg->type & MSG_PARAMS_CHANGED) {
    reopen_ = true;
    return type & ~MSG_PARAMS_CHANGED;
  }
  return type;
}

void UsbSrvd::openListeners() {
  const int count = setup_.listeners.usbPortCount() + 2;
  const struct {
    int port;
    bool tls;
  } kinds[] = {{setup_.parts.hooks.plainPort(), false}, {setup_.parts.hooks.tlsPort(), true}};
  for (int index = 0; index < count; ++index) {
    for (const auto& kind : kinds) {
      if (kind.port <= 0) continue;
      auto connection = createListenSocket(this, kind.port, setup_.interface, index, setup_.listeners);
      if (!connection) continue;
      auto listener = std::make_unique<Listener>();
      listener->tls = kind.tls;
      listener->vlanId = connection->vlanId();
      listener->watch = FdWatch{listener.get(), &UsbSrvd::onListenerReady, connection->descriptor()};
      listener->connection = std::move(connection);
      if (addWatch(&listener->watch, EPOLLIN) != 0) continue;
      listeners_.push_back(std::move(listener));
    }
  }
}

void UsbSrvd::closeListeners() {
  for (auto& listener : listeners_) {
    removeWatch(listener->watch.fd);
    listener->connection->closeSession();
  }
  listeners_.clear();
}

int UsbSrvd::onListenerReady(FdWatch* watch, uint32_t) {
  auto* listener = static_cast<Listener*>(watch->owner);
  auto* self = static_cast<UsbSrvd*>(currentTask());
  if (!listener || !self) return -1;
  self->acceptClient(*listener);
  return 0;
}

void UsbSrvd::acceptClient(Listener& listener) {
  // Only the listener that reported a client is asked, and without a wait:
  // when the client went again before it was accepted, the listener task
  // goes back to its loop instead of waiting for the next one there.
  auto client = std::make_unique<StreamConnection>(this, setup_.interface, listener.vlanId);
  if (!client->acceptFrom(listener.connection->descriptor())) return;
  client->setState(kStateConnected);
  client->setNonBlocking();
  const int limit = 2 * setup_.parts.hooks.portCount();
  if (setup_.tasks.connectionCount() > limit) {
    client->closeSession();
    return;
  }
  const int on = 1;
  setsockopt(client->descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (const int maxseg = setup_.listeners.tcpMaxSegment(); maxseg > 0) client->set_maxseg(maxseg);
  auto* task = new UsbSrvdPrcs(setup_, std::move(client), listener.tls, listener.vlanId);
  if (task->start(UsbSrvdPrcs::kStackSize) <= 0) {
    std::fprintf(stderr, "UsbSrvd: could not start a connection task\n");
    delete task;
  }
}

void UsbSrvd::run() {
  while (!setup_.parts.hooks.devicesStarted()) wait(25);
  openListeners();
  reopen_ = false;
  int64_t lastScan = 0;
  for (;;) {
    dispatch(kListenerDispatchMs);
    if (ticks() - lastScan > kScanTicks) {
      lastScan = ticks();
      setup_.parts.table.scanUsbDevices();
    }
    if (reopen_) {
      closeListeners();
      openListeners();
      reopen_ = false;
    }
  }
}

UsbSrvdPrcs::UsbSrvdPrcs(const UsbServerSetup& setup, std::unique_ptr<StreamConnection> connection,
                         bool tls, int vlanId)
    : Task("UsbSrvdPrcs"), setup_(setup), connection_(std::move(connection)), tls_(tls), vlanId_(vlanId) {
  setup_.tasks.connectionCreated();
}

UsbSrvdPrcs::~UsbSrvdPrcs() {
  if (session_) session_->releaseClientDevices();
  session_.reset();
  if (connection_) connection_->closeSession();
  setup_.tasks.connectionEnded(id());
}

int UsbSrvdPrcs::onClientReadable(FdWatch* watch, uint32_t events) {
  auto* task = static_cast<UsbSrvdPrcs*>(watch->owner);
  // Everything the connection holds is served, also data already decrypted
  // inside a TLS session, before waiting on the socket again.
  // The first read may wait a moment: the socket reported input, which at
  // the end of the stream or for a TLS record without data carries no byte.
  int result = task->session_->dispatchRequest(true);
  while (result > 0) result = task->session_->dispatchRequest(false);
  if (result < 0 || (events & (EPOLLHUP | EPOLLERR))) task->dead_ = true;
  if (task->setup_.activity) task->setup_.activity();
  return 0;
}

int UsbSrvdPrcs::onWake(FdWatch* watch, uint32_t) {
  static_cast<UsbSrvdPrcs*>(watch->owner)->session_->deliverQueued();
  return 0;
}

int UsbSrvdPrcs::onDeviceReady(FdWatch* watch, uint32_t) {
  auto* device = static_cast<DeviceWatch*>(watch->owner);
  const int result = device->task->setup_.parts.engine.usbSrvPoll(device->device.index, device->device.serial);
  if (result < 0) {
    // The record belongs to an earlier connection of the device, or the
    // device is gone: its node was closed, which ended the registration
    // with it (the number may name another thread's file by now, so it is
    // never handed to epoll again). The watch only stops.
    watch->owner = nullptr;
  }
  if (device->task->setup_.activity) device->task->setup_.activity();
  return 0;
}

void UsbSrvdPrcs::watchDevice(const UsbSession::DeviceWatch& device) {
  // A node number may come back for a new connection of a device: its old
  // registration ended when the old node was closed.
  for (auto& old : devices_) {
    if (old->watch.fd == device.node) old->watch.owner = nullptr;
  }
  auto watch = std::make_unique<DeviceWatch>();
  watch->task = this;
  watch->device = device;
  watch->watch = FdWatch{watch.get(), &UsbSrvdPrcs::onDeviceReady, device.node};
  // The readiness a node reports for a completion or a vanished device is
  // the platform's (usbfs: output); any other event would fire always.
  const uint32_t events = setup_.parts.table.platform().nodePollEvents();
  if (addWatch(&watch->watch, events) == 0) devices_.push_back(std::move(watch));
}

void UsbSrvdPrcs::cleanupFlaggedDevices() {
  UsbDeviceTable& table = setup_.parts.table;
  for (int i = 0; i < table.size(); ++i) {
    UsbDevice& entry = table.entry(i);
    if (!entry.cleanupFlag.exchange(false)) continue;
    if (entry.state.load() != USB_DEV_CONNECTED) continue;
    setup_.parts.engine.discardPendingUrbs(i);
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node >= 0) {
      table.platform().reset(entry.node);
      table.closeDevice(entry);
    }
  }
}

void UsbSrvdPrcs::run() {
  if (!setup_.tasks.connectionRunning(id())) return;
  connection_->setOwner(this);
  if (tls_) {
    if (connection_->tlsAccept(setup_.tlsSettings()) != 1) return;
    char description[140];
    if (connection_->tlsDescription(description, sizeof description) > 0) {
      setup_.tasks.recordTlsDescription(description);
    }
  }
  session_ = std::make_unique<UsbSession>(setup_.parts, *connection_, vlanId_);
  session_->setDeviceWatcher([this](const UsbSession::DeviceWatch& device) { watchDevice(device); });
  clientWatch_ = FdWatch{this, &UsbSrvdPrcs::onClientReadable, connection_->descriptor()};
  wakeWatch_ = FdWatch{this, &UsbSrvdPrcs::onWake, session_->wakeDescriptor()};
  if (addWatch(&clientWatch_, EPOLLIN | EPOLLHUP) != 0 || addWatch(&wakeWatch_, EPOLLIN) != 0) return;

  const int64_t heartbeat = int64_t(setup_.parts.hooks.heartbeatSeconds()) * 100;
  int64_t cleanupDue = 0;
  while (!dead_) {
    // Between two dispatch passes no event refers to a stopped watch.
    std::erase_if(devices_, [](const auto& device) { return device->watch.owner == nullptr; });
    const int served = dispatch(kClientDispatchMs);
    if (ticks() >= cleanupDue) {
      cleanupDue = ticks() + kCleanupTicks;
      cleanupFlaggedDevices();
    }
    if (heartbeat > 0 && served == 0 && ticks() - session_->lastRequestTick() > heartbeat) break;
  }
  // Device nodes leave the poll set as they are closed, and the poll set
  // goes with the task.
  removeWatch(clientWatch_.fd);
  removeWatch(wakeWatch_.fd);
  session_->releaseClientDevices();
}
