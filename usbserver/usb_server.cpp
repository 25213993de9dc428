#include "usbserver/usb_server.h"

#include <malloc.h>

#include <cstdio>
#include <string>

#include "core/paths.h"
#include "core/tls_session.h"
#include "params/int_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"
#include "params/product_info.h"
#include "usbserver/control_request.h"
#include "usbserver/param_listener_settings.h"
#include "usbserver/param_usb_settings.h"
#include "usbserver/port_access.h"
#include "usbserver/task_usb_clock.h"
#include "usbserver/urb_engine.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_port_events.h"
#include "usbserver/usb_product_layout.h"
#include "usbserver/usb_server_task.h"

namespace {

int boundedPortCount(const ProductInfo& product) {
  return product.usb_ports_phy > kMaxUsbPorts ? static_cast<int>(kMaxUsbPorts)
                                              : static_cast<int>(product.usb_ports_phy);
}

TlsSettings tlsSettingsOf(const ParamTable& params) {
  TlsSettings settings;
  if (const auto* method = params.findAs<P3List>("sslmethod")) {
    settings.method = tlsMethodFromKeyword(method->keyword());
  }
  if (const auto* security = params.findAs<IntParam>("security")) settings.security = security->value();
  return settings;
}

}  // namespace

UsbServer::UsbServer(UsbPlatform& platform, UsbPortOutputs& outputs, InterfaceView* interface,
                     ParamTable& params, const ProductInfo& product, std::function<bool()> devicesStarted)
    : product_(product), outputs_(outputs), params_(params), interface_(interface) {
  const int ports = boundedPortCount(product);
  settings_ = std::make_unique<ParamUsbSettings>(params, ports);
  listenerSettings_ = std::make_unique<ParamListenerSettings>(params, ports);
  clock_ = std::make_unique<TaskUsbClock>();
  events_ = std::make_unique<UsbPortEvents>(params, outputs, *clock_, usbLedSchemeOf(product.product_id), ports,
                                            std::move(devicesStarted));
  table_ = std::make_unique<UsbDeviceTable>(platform, *clock_, *events_, *settings_,
                                            usbLayoutOf(product.product_id), usbLayoutOf(product.usbtable_product_id),
                                            sysPath("/romfs/usb.ids"));
  events_->setDeviceTable(table_.get());
  engine_ = std::make_unique<UrbEngine>(*table_);
  control_ = std::make_unique<ControlRequests>(*table_);
  access_ = std::make_unique<PortAccess>(*settings_);
  tasks_ = std::make_unique<UsbServerTasks>();
  params.hideSlotsAbove(table_->size());
}

UsbServer::~UsbServer() {
  // The tasks use every part below: they end first.
  tasks_->stopAll();
}

int UsbServer::start() {
  if (started_) return -1;
  started_ = true;
  table_->scanUsbDevices();
  ParamTable& params = params_;
  UsbPortOutputs& outputs = outputs_;
  std::function<void()> activity;
  if (usbFlashesActivity(product_.product_id)) activity = [&outputs] { outputs.flashActivity(); };
  UsbServerSetup setup{UsbServerParts{*table_, *engine_, *control_, *access_, *events_},
                       interface_,
                       *listenerSettings_,
                       [&params] { return tlsSettingsOf(params); },
                       *tasks_,
                       std::move(activity)};
  auto* listener = new UsbSrvd(std::move(setup));
  const int id = listener->start(UsbSrvd::kStackSize);
  if (id <= 0) {
    delete listener;
    return id;
  }
  tasks_->listenerStarted(id);
  return id;
}

void UsbServer::restorePortPower() { events_->restorePortPower(); }

int UsbServer::disconnectPort(int port) {
  for (int i = 0; i < table_->size(); ++i) {
    UsbDevice& entry = table_->entry(i);
    UsbClient* owner = nullptr;
    {
      std::lock_guard<std::mutex> guard(entry.mutex);
      // Only a device a client uses can be disconnected: an idle one has no
      // owner to tell and nothing to give back.
      if (entry.state.load() != USB_DEV_CONNECTED || entry.id.port != port) continue;
      owner = entry.owner;
      entry.cleanupFlag = true;
      if (owner) owner->disconnectRequested(i, port);
    }
    events_->onUsbDeviceDisconnected(i);
  }
  return 1;
}

UsbDeviceTable& UsbServer::table() { return *table_; }

UsbPortEvents& UsbServer::events() { return *events_; }

int UsbServer::connectionCount() const { return tasks_->connectionCount(); }

std::string UsbServer::tlsDescription() const { return tasks_->tlsDescription(); }

void UsbServer::keepFreedTransferMemory() {
  mallopt(M_TRIM_THRESHOLD, kKeptFreeHeap);
  mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
}
