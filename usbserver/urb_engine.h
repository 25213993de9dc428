#pragma once
// Tunnelled bulk and interrupt transfers: a client's transfer becomes usbfs
// URBs on the device's open node, bulk transfers split into 64 KiB parts, at
// most one bulk IN transfer in flight per endpoint (later ones queue), and
// the completions the kernel reports go back to the client that submitted
// them.
//
// Threads: submissions and completions run on the owner's connection task;
// cancellation may come from other tasks. Every change of a transfer list
// happens under its entry's mutex; a part's URB and buffer are freed only
// after the kernel gave the part back (reaped) or the node was closed.
#include <cstdint>
#include <memory>
#include <vector>

#include "usbserver/urb_request.h"

class UsbClient;
class UsbDevice;
class UsbDeviceTable;
class UrbRecord;
struct UrbCompletion;

class UrbEngine {
 public:
  static constexpr uint32_t kPartSize = 65536;
  // The largest transfer a client may ask for: what usbfs accepts in flight
  // at once, and what the server is prepared to buffer for one request.
  static constexpr uint32_t kTransferLimit = 16u << 20;

  explicit UrbEngine(UsbDeviceTable& table) : table_(table) {}

  // A bulk or interrupt transfer of `client` (control transfers go to
  // processCtrlReq, isochronous ones are refused by the front end).
  UrbOutcome submitUrb(UsbClient& client, const UrbRequest& request, UrbDataSource& data);

  // The device record's callback: reaps what the node completed and sends
  // the completions. `watchSerial` is the serial the device record was
  // created with. 0, or -1 when the record is stale or the device gone.
  int usbSrvPoll(int index, uint32_t watchSerial);

  // Cancels the transfer `tag` of one of the client's devices.
  void discardUrbByTag(UsbClient& client, uint32_t tag);

  // Cancels every transfer on one endpoint of the client's device: queued
  // records complete as aborted, parts in flight are discarded.
  UsbResult abortEndpoint(UsbClient& client, int index, int port, uint8_t endpoint);

  // Cancels every outstanding transfer of the entry (configuration,
  // connect, disconnect). Returns 0.
  int discardPendingUrbs(int index);

  // Frees every record of the entry; its node must be closed (the kernel no
  // longer holds any part). Caller holds the entry's mutex.
  static void freeTransfers(UsbDevice& entry);

 private:
  struct PendingSend;
  using Sends = std::vector<PendingSend>;

  std::unique_ptr<UrbRecord> sUrb(const UrbRequest& request, bool video, UsbClient& client);
  bool readOutData(UrbRecord& record, UrbDataSource& data);
  int submitSubUrb(int node, UrbRecord& record, int part);
  void reaped(UsbDevice& entry, UrbRecord* record, int part, Sends& sends);
  void finish(UsbDevice& entry, UrbRecord* record, UsbResult result, int dataPart, Sends& sends);
  void startNextQueued(UsbDevice& entry, uint8_t endpoint, Sends& sends);
  void discardRecord(UsbDevice& entry, UrbRecord* record, Sends& sends);
  static void unlinkAndFree(UsbDevice& entry, UrbRecord* record);
  static void flush(Sends& sends);

  UsbDeviceTable& table_;
};
