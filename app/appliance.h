#pragma once
// The appliance process: the one object that builds the services at start,
// hands each its dependencies, supervises them and undoes the set-up when
// they are gone. Under --sim the platform seams get their simulations and the
// simulation control socket serves them.
#include <memory>
#include <string>

class ApplianceGpio;
class DeviceParamEffects;
class NetInterface;
class PhyAccess;
class VlanDriver;
class RelayController;
class SimCommandRegistry;
class SimControlSocket;
class SimUsbCommands;
class SimPhyAccess;
class UsbPlatform;
class UsbServer;
class WiredInterfaceView;

struct ApplianceOptions {
  std::string root = "/";
  bool sim = false;
};

class Appliance {
 public:
  explicit Appliance(const ApplianceOptions& options);
  ~Appliance();
  Appliance(const Appliance&) = delete;
  Appliance& operator=(const Appliance&) = delete;

  // Starts everything, supervises until the end, undoes the set-up and
  // returns the exit code for the start script.
  int run();

 private:
  void buildPlatform();
  void startSimulation();
  bool waitForWiredInterface();
  void waitForWiredLink();
  void printBanner();
  void startServices();
  void supervise();
  void undoSetUp();

  ApplianceOptions options_;
  std::unique_ptr<ApplianceGpio> gpio_;
  std::unique_ptr<PhyAccess> phy_;
  std::unique_ptr<VlanDriver> vlans_;
  std::unique_ptr<NetInterface> wired_;
  std::unique_ptr<DeviceParamEffects> paramEffects_;
  std::unique_ptr<RelayController> relay_;
  std::unique_ptr<UsbPlatform> usbPlatform_;
  std::unique_ptr<WiredInterfaceView> interfaceView_;
  std::unique_ptr<UsbServer> usbServer_;
  // the simulation (under --sim only)
  SimPhyAccess* simPhy_ = nullptr;
  std::unique_ptr<SimCommandRegistry> simCommands_;
  std::unique_ptr<SimUsbCommands> simUsbCommands_;
  std::unique_ptr<SimControlSocket> simSocket_;
  bool timedOut_ = false;
};
