#include "app/appliance.h"

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "app/appliance_gpio.h"
#include "app/device_param_effects.h"
#include "app/signals.h"
#include "app/slot_card_mirror.h"
#include "app/supervisor.h"
#include "app/supervisor_port.h"
#include "app/wired_interface_view.h"
#include "core/gpio_board.h"
#include "core/gpio_device.h"
#include "core/lazy_hub_watcher.h"
#include "core/paths.h"
#include "core/run_state.h"
#include "core/task.h"
#include "core/task_table.h"
#include "core/tick_clock.h"
#include "core/tls_session.h"
#include "core/wall_clock.h"
#include "maint/cert_files.h"
#include "maint/cert_info.h"
#include "maint/identity.h"
#include "net/linux_phy_access.h"
#include "net/linux_vlan_driver.h"
#include "net/net_interface.h"
#include "notify/relay_controller.h"
#include "params/parameters.h"
#include "params/param_classes.h"
#include "params/param_table.h"
#include "params/product.h"
#include "params/product_startup.h"
#include "sim/net/sim_phy_access.h"
#include "sim/net/sim_vlan_driver.h"
#include "sim/sim_command_registry.h"
#include "sim/sim_control_socket.h"
#include "sim/usb/sim_usb_commands.h"
#include "sim/usb/sim_usb_host.h"
#include "usbserver/linux_usb_platform.h"
#include "usbserver/usb_server.h"

namespace {

constexpr int kServiceStack = 20480;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool stopRequested() { return runState().shutdowns.load() > 0; }

// Host-wide kernel settings belong to the appliance alone: never touched from
// a simulation or a private root.
void tuneVm(const ApplianceOptions& options) {
  if (options.sim || options.root != "/") return;
  for (const char* path : {"/proc/sys/vm/dirty_expire_centisecs", "/proc/sys/vm/dirty_writeback_centisecs"}) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (::write(fd, "100", 3) != 3) std::perror(path);
    ::close(fd);
  }
}

// The simulated appliance sets addresses, brings interfaces down and
// changes routes: it must never do that to the machine it runs on.
bool inInitialNetworkNamespace() {
  struct stat own{}, init{};
  if (::stat("/proc/self/ns/net", &own) != 0 || ::stat("/proc/1/ns/net", &init) != 0) return false;
  return own.st_ino == init.st_ino && own.st_dev == init.st_dev;
}

}  // namespace

Appliance::Appliance(const ApplianceOptions& options) : options_(options) {}

Appliance::~Appliance() = default;

void Appliance::buildPlatform() {
  const ProductInfo& product = deviceIdentity().product;
  NetBoard board;
  board.phy0Addr = static_cast<int>(product.phy0_addr);
  board.usbPortsPhy = static_cast<int>(product.usb_ports_phy);
  board.wirelessOnly = hasProductProperty(product, WirelessOnly);
  board.twoPhy = hasProductProperty(product, TwoPhy);
  gpio_ = std::make_unique<ApplianceGpio>(paramTable(), product, options_.sim);
  if (options_.sim) {
    auto simPhy = std::make_unique<SimPhyAccess>();
    simPhy_ = simPhy.get();
    phy_ = std::move(simPhy);
    vlans_ = std::make_unique<SimVlanDriver>();
    usbPlatform_ = std::make_unique<SimUsbHost>();
  } else {
    phy_ = std::make_unique<LinuxPhyAccess>();
    vlans_ = std::make_unique<LinuxVlanDriver>();
    usbPlatform_ = std::make_unique<LinuxUsbPlatform>();
  }
  wired_ = std::make_unique<NetInterface>(*phy_, *vlans_, board, &gpio_->addressIndicator());
  paramEffects_ = std::make_unique<DeviceParamEffects>(gpio_->device(), *wired_);
  paramTable().setEffects(paramEffects_.get());
  relay_ = std::make_unique<RelayController>(paramTable(), gpio_->relaySwitch(), featureWordOf(product));
  installRelayController(relay_.get());
}

void Appliance::startSimulation() {
  if (!options_.sim) return;
  useSimulatedWallClock(true);
  simCommands_ = std::make_unique<SimCommandRegistry>();
  simUsbCommands_ = std::make_unique<SimUsbCommands>(static_cast<SimUsbHost&>(*usbPlatform_), *simCommands_);
  gpio_->registerSimCommands(*simCommands_);
  simCommands_->add("phy", [this](const std::vector<std::string>& arguments) {
    return simPhy_->command(arguments);
  });
  simSocket_ = std::make_unique<SimControlSocket>(*simCommands_);
  const int rc = simSocket_->start(SimControlSocket::defaultPath());
  if (rc != 0) std::fprintf(stderr, "simulation control socket: %s\n", std::strerror(-rc));
}

bool Appliance::waitForWiredInterface() {
  wired_->setName("eth0");
  wired_->openSocket();
  wired_->bringUp();
  while (!wired_->isUp()) {
    if (stopRequested()) return false;
    relayEvent(RELAY_NETOFF);
    sleepMs(100);
  }
  relayEvent(RELAY_NETON);
  return true;
}

void Appliance::waitForWiredLink() {
  const bool twoPhy = hasProductProperty(deviceIdentity().product, TwoPhy);
  while (!stopRequested()) {
    if (twoPhy ? wired_->isRunning() : wired_->linkUp()) return;
    sleepMs(500);
  }
}

void Appliance::printBanner() {
  const Parameters& p = parameters();
  std::fprintf(stderr,
               "\n#\n##\n#### %s Master running on %s ip:%s/%s HTTP:%d HTTPS:%d KickOff:%d ####\n##\n#\n",
               "kvz", wired_->name(), p.ip_addr->toText().c_str(), p.ip_mask->toText().c_str(),
               runState().httpPort.load(), runState().httpsPort.load(), runState().kickOff.load());
}

void Appliance::startServices() {
  interfaceView_ = std::make_unique<WiredInterfaceView>(*wired_, paramTable());
  GpioDevice& device = gpio_->device();
  usbServer_ = std::make_unique<UsbServer>(*usbPlatform_, gpio_->usbPortOutputs(), interfaceView_.get(),
                                           paramTable(), deviceIdentity().product,
                                           [&device] { return device.started(); });
  if (usbServer_->start() <= 0) std::fprintf(stderr, "UsbSrvd: start failed\n");
  gpio_->startBlinkerIfNeeded([this] { return usbDeviceInUse(usbServer_->table()); });
  auto* watcher = new LazyHubWatcher({}, [] {
    const auto* hour = paramTable().findAs<IntParam>("dailyrestart");
    return hour ? hour->value() : 24;
  });
  if (watcher->start(kServiceStack) <= 0) std::fprintf(stderr, "LazyHubWatcher: start failed\n");
}

void Appliance::supervise() {
  const ProductInfo& product = deviceIdentity().product;
  SupervisorConfig config;
  config.twoPhy = hasProductProperty(product, TwoPhy);
  config.goodLinkMask = static_cast<int>(goodWiredLinkMask(product.phy0_addr, config.twoPhy));
  config.cardReader = hasProductProperty(product, CardReader);
  ApplianceSupervisorPort port(*wired_, gpio_->device(), product, usbServer_.get());
  Supervisor supervisor(port, config, ticks());
  while (supervisor.pass(ticks())) sleepMs(100);
  timedOut_ = listedTaskCount() > 0;
}

void Appliance::undoSetUp() {
  wired_->setAddress(InetAddr::ipv4(0, 0, 0, 0));
  wired_->bringDown();
  gpio_->close();
  if (featureWordOf(deviceIdentity().product) & FeatureAccessControl) wired_->removeAllVlanAddresses();
  installRelayController(nullptr);
  if (simSocket_) simSocket_->stop();
}

int Appliance::run() {
  if (options_.sim && inInitialNetworkNamespace()) {
    std::fprintf(stderr, "appliance --sim runs only inside a network namespace of its own\n");
    return 64;
  }
  runState().kickOff.store(parseKickOff(std::getenv("KickOff")));
  UsbServer::keepFreedTransferMemory();
  umask(077);
  installSignalHandlers();
  setRootDirectory(options_.root);

  DeviceIdentity& identity = deviceIdentity();
  readDeviceIdentity(identity);
  loadParameters(paramTable(), parameters(), identity.product);
  tuneVm(options_);
  countStart(paramTable(), parameters());

  buildPlatform();
  startSimulation();
  gpio_->openAndStart();
  if (waitForWiredInterface()) waitForWiredLink();
  installStopHandlers();
  runState().mainInterface.store(wired_.get());

  int unset = -1;
  runState().httpPort.compare_exchange_strong(unset, 80);
  unset = -1;
  runState().httpsPort.compare_exchange_strong(unset, 443);
  unset = -1;
  runState().snmpPort.compare_exchange_strong(unset, 161);
  printBanner();

  SlotCardMirror card(paramTable(), *paramEffects_);
  removeUnpairedImportedKey(card);
  migrateRootCertificate(card);
  tlsInitOnce(static_cast<uint32_t>(ticks()));
  bindtextdomain("kvz", sysPath("/romfs/locale").c_str());
  bind_textdomain_codeset("kvz", "UTF-8");
  textdomain("kvz");
  wired_->bringUp();
  gpio_->setUpLedRegister();

  startServices();
  relayEvent(RELAY_WARM);

  supervise();
  undoSetUp();
  const int exitCode = runState().exitCode.load();
  if (timedOut_) {
    // Tasks may still run and use what the process owns: end without
    // destroying anything.
    std::fflush(nullptr);
    _exit(exitCode);
  }
  paramTable().setEffects(nullptr);
  releaseCertInfo();
  tlsCleanup();
  return exitCode;
}
