#include "usbserver/urb_engine.h"

#include <cerrno>
#include <cstdio>
#include <new>

#include "usbserver/urb_record.h"
#include "usbserver/usb_client.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_platform.h"

namespace {

constexpr uint8_t kBulk = 3;
constexpr uint8_t kInterrupt = 1;
constexpr int kReapsPerCall = 32;
constexpr int32_t kAborted = 32;

UsbResult submissionFailure(int error) {
  return error == -ENODEV ? UsbResult::gone(-ENODEV) : UsbResult::error(error);
}

bool ownedBy(const UsbDevice& e, const UsbClient& client) {
  return e.state.load() == USB_DEV_CONNECTED && e.owner == &client;
}

}  // namespace

struct UrbEngine::PendingSend {
  UsbClient* client = nullptr;
  UrbCompletion completion;
  std::unique_ptr<uint8_t[]> data;
};

void UrbEngine::flush(Sends& sends) {
  for (PendingSend& s : sends) {
    if (s.client) s.client->sendUrbCompletion(s.completion);
  }
  sends.clear();
}

std::unique_ptr<UrbRecord> UrbEngine::sUrb(const UrbRequest& request, bool video, UsbClient& client) {
  auto record = std::unique_ptr<UrbRecord>(new (std::nothrow) UrbRecord());
  if (!record) return nullptr;
  record->tableIndex = request.index;
  record->tag = request.tag;
  record->requestWord = request.requestWord;
  record->endpoint = request.endpoint;
  record->type = request.type;
  record->client = &client;
  const uint32_t length = request.transferLength();
  record->remaining = length;
  int count = 1;
  if (request.type == kBulk && !video) {
    count = static_cast<int>(length / kPartSize) + ((length % kPartSize) != 0 || length == 0 ? 1 : 0);
  }
  if (!record->allocateParts(count)) {
    std::fprintf(stderr, "%s ERROR OUT OF MEM %d\n", "sUrb", static_cast<int>(count * sizeof(usbdevfs_urb)));
    return nullptr;
  }
  uint32_t rest = length;
  for (int i = 0; i < count; ++i) {
    usbdevfs_urb& urb = record->urbs[i];
    urb.type = request.type;
    urb.endpoint = request.endpoint;
    urb.usercontext = record.get();
    const uint32_t size = count == 1 ? length : (rest < kPartSize ? rest : kPartSize);
    urb.buffer_length = static_cast<int>(size);
    rest -= size;
  }
  return record;
}

bool UrbEngine::readOutData(UrbRecord& record, UrbDataSource& data) {
  for (int i = 0; i < record.partCount; ++i) {
    usbdevfs_urb& urb = record.urbs[i];
    if (urb.buffer_length == 0) continue;
    const size_t size = static_cast<size_t>(urb.buffer_length);
    record.parts[i].buffer.reset(new (std::nothrow) uint8_t[size]);
    if (!record.parts[i].buffer) {
      data.drain(size);
      return false;
    }
    urb.buffer = record.parts[i].buffer.get();
    if (!data.read(urb.buffer, size)) return false;
  }
  return true;
}

int UrbEngine::submitSubUrb(int node, UrbRecord& record, int i) {
  usbdevfs_urb& urb = record.urbs[i];
  UrbPartData& part = record.parts[i];
  if (record.isIn() && !part.buffer && urb.buffer_length > 0) {
    part.buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(urb.buffer_length)]);
    urb.buffer = part.buffer.get();
  }
  int r = (urb.buffer_length > 0 && !part.buffer) ? -ENOMEM : table_.platform().submitUrb(node, &urb);
  if (r < 0) {
    if (r == 0) r = -1;
    urb.status = r;
    return r;
  }
  part.inFlight = true;
  ++record.inFlight;
  return 0;
}

UrbOutcome UrbEngine::submitUrb(UsbClient& client, const UrbRequest& request, UrbDataSource& data) {
  const uint32_t outBytes = request.isIn() ? 0 : request.outLength;
  auto refuse = [&](UsbResult result) {
    UrbOutcome outcome{result, false};
    if (outBytes > 0 && !data.drain(outBytes)) outcome.endConnection = true;
    return outcome;
  };
  if (!table_.isValidEntry(request.index, request.port)) return refuse(UsbResult::error(19));
  if (request.type == 0) return refuse(UsbResult::error(71));
  UsbDevice& e = table_.entry(request.index);
  bool video;
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!ownedBy(e, client)) return refuse(UsbResult::denied(12));
    if (request.type > 3) return {UsbResult::ok(), false};
    if (e.node < 0) return refuse(UsbResult::error(19));
    video = e.video;
  }
  if (request.transferLength() > kTransferLimit) return refuse(UsbResult::error(12));

  std::unique_ptr<UrbRecord> built = sUrb(request, video, client);
  if (!built) {
    std::fprintf(stderr, "%s Error: new purb:%p mem fault!?\n", "submitUrb", static_cast<void*>(nullptr));
    return refuse(UsbResult::error(19));
  }
  // The OUT data is read before anything reaches the device: a transfer
  // whose data did not arrive in full is never submitted, and the stream
  // behind it is out of step, so the connection ends.
  if (!request.isIn() && !readOutData(*built, data)) return {UsbResult::error(71), true};

  Sends sends;
  UrbOutcome outcome{UsbResult::pending(), false};
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!ownedBy(e, client)) return {UsbResult::denied(12), false};
    if (e.node < 0) return {UsbResult::error(19), false};
    UrbRecord* record = built.get();
    record->state = UrbState::Prepared;
    e.transfers.push_back(std::move(built));
    if (record->type == kBulk && record->isIn()) {
      for (auto& other : e.transfers) {
        if (other.get() != record && other->endpoint == record->endpoint &&
            (other->state & (UrbState::Busy | UrbState::Prepared))) {
          return outcome;  // queued behind the endpoint's transfer in flight
        }
      }
    }
    record->state = UrbState::Busy;
    const int parts = record->isIn() ? 1 : record->partCount;
    for (int i = 0; i < parts; ++i) {
      int r = submitSubUrb(e.node, *record, i);
      if (r == 0) continue;
      if (record->inFlight == 0) {
        unlinkAndFree(e, record);
        return {submissionFailure(r), false};
      }
      // Parts already in flight answer later: the final completion carries
      // the failure once they are back, so the tag is answered once.
      record->state |= UrbState::Error;
      record->failure = submissionFailure(r);
      record->completed += record->partCount - i;
      break;
    }
  }
  flush(sends);
  return outcome;
}

void UrbEngine::unlinkAndFree(UsbDevice& e, UrbRecord* record) {
  for (auto it = e.transfers.begin(); it != e.transfers.end(); ++it) {
    if (it->get() == record) {
      e.transfers.erase(it);
      return;
    }
  }
}

void UrbEngine::freeTransfers(UsbDevice& e) {
  if (e.node < 0) e.transfers.clear();
}

void UrbEngine::finish(UsbDevice& e, UrbRecord* record, UsbResult result, int dataPart, Sends& sends) {
  PendingSend s;
  s.client = record->client;
  s.completion.requestWord = record->requestWord;
  s.completion.tag = record->tag;
  s.completion.partial = false;
  s.completion.result = result;
  if (dataPart >= 0 && result.status == USB_ST_OK && record->isIn()) {
    s.data = std::move(record->parts[dataPart].buffer);
    s.completion.data = s.data.get();
    s.completion.length = static_cast<size_t>(record->urbs[dataPart].actual_length);
  }
  record->state = (record->state & ~(UrbState::Busy | UrbState::Prepared)) | UrbState::Sent;
  record->completed = record->partCount;
  const uint8_t endpoint = record->endpoint;
  const bool bulkIn = record->type == kBulk && record->isIn();
  sends.push_back(std::move(s));
  if (record->inFlight == 0) unlinkAndFree(e, record);
  // Whatever ended this transfer, the next one queued on its endpoint runs.
  if (bulkIn) startNextQueued(e, endpoint, sends);
}

void UrbEngine::startNextQueued(UsbDevice& e, uint8_t endpoint, Sends& sends) {
  UrbRecord* next = nullptr;
  for (auto& r : e.transfers) {
    if (r->endpoint == endpoint && (r->state & UrbState::Busy)) return;
    if (!next && r->endpoint == endpoint && r->state == UrbState::Prepared) next = r.get();
  }
  if (!next || e.node < 0) return;
  next->state = UrbState::Busy;
  int err = submitSubUrb(e.node, *next, 0);
  if (err == 0) return;
  // finish() starts the record queued after this one.
  finish(e, next, submissionFailure(err), -1, sends);
}

void UrbEngine::reaped(UsbDevice& e, UrbRecord* record, int i, Sends& sends) {
  usbdevfs_urb& urb = record->urbs[i];
  record->parts[i].inFlight = false;
  --record->inFlight;
  ++record->completed;
  if (record->state & (UrbState::Sent | UrbState::Abort)) {
    if (record->inFlight == 0) unlinkAndFree(e, record);
    return;
  }
  // Every transfer type reports its real status: a stalled or vanished
  // interrupt endpoint must reach the client, not an empty success.
  if (urb.status != 0 && !(record->state & UrbState::Error)) {
    record->state |= UrbState::Error;
    record->failure = UsbResult::error(urb.status);
  }
  if (urb.actual_length < 0 || urb.actual_length > urb.buffer_length) urb.actual_length = urb.buffer_length;
  const bool failed = (record->state & UrbState::Error) != 0;

  if (!record->isIn()) {
    if (urb.status == 0) record->remaining -= urb.buffer_length;
    if (record->completed >= record->partCount && record->inFlight == 0) {
      finish(e, record, failed ? record->failure : UsbResult::ok(), -1, sends);
    }
    return;
  }

  record->remaining -= urb.actual_length;
  const bool full = urb.actual_length == urb.buffer_length;
  if (!failed && full && i + 1 < record->partCount && !(record->state & UrbState::Discarded)) {
    PendingSend partial;
    partial.client = record->client;
    partial.completion.requestWord = record->requestWord;
    partial.completion.tag = record->tag;
    partial.completion.partial = true;
    partial.data = std::move(record->parts[i].buffer);
    urb.buffer = nullptr;
    partial.completion.data = partial.data.get();
    partial.completion.length = static_cast<size_t>(urb.actual_length);
    int err = submitSubUrb(e.node, *record, i + 1);
    sends.push_back(std::move(partial));
    if (err != 0) {
      // The data received so far still reaches the client; the failure of
      // the next part ends the transfer.
      record->state |= UrbState::Error;
      record->failure = submissionFailure(err);
      finish(e, record, record->failure, -1, sends);
    }
    return;
  }
  finish(e, record, failed ? record->failure : UsbResult::ok(), i, sends);
}

int UrbEngine::usbSrvPoll(int index, uint32_t watchSerial) {
  if (!table_.isTableIndex(index)) return -1;
  UsbDevice& e = table_.entry(index);
  enum class Reap { Done, Nothing, Stale, Gone };
  for (int n = 0; n < kReapsPerCall; ++n) {
    Sends sends;
    Reap outcome = [&] {
      std::lock_guard<std::mutex> lock(e.mutex);
      if (!e.watched || e.watchSerial != watchSerial || e.node < 0) return Reap::Stale;
      usbdevfs_urb* urb = nullptr;
      int r = table_.platform().reapUrbNoDelay(e.node, &urb);
      if (r == -ENODEV) return Reap::Gone;
      if (r == -EINTR) std::fprintf(stderr, "%s %d EINTR\n", "usb_srv_poll", __LINE__);
      if (r < 0 || !urb) return Reap::Nothing;
      UrbRecord* record = nullptr;
      for (auto& candidate : e.transfers) {
        if (candidate.get() == urb->usercontext) record = candidate.get();
      }
      int part = record ? record->partIndexOf(urb) : -1;
      if (part < 0 || !record->parts[part].inFlight) return Reap::Stale;
      reaped(e, record, part, sends);
      return Reap::Done;
    }();
    switch (outcome) {
      case Reap::Nothing: return 0;
      case Reap::Stale: return -1;
      case Reap::Gone:
        table_.dropOwner(index);
        return -1;
      case Reap::Done:
        // The owner's own task sends, outside the entry's mutex; the
        // buffers travel with the completions.
        flush(sends);
        break;
    }
  }
  return 0;
}

void UrbEngine::discardRecord(UsbDevice& e, UrbRecord* record, Sends& sends) {
  if (record->state & (UrbState::Sent | UrbState::Abort | UrbState::Discarded)) return;
  if (record->state == UrbState::Prepared) {
    // A queued record never reached the device: it ends now, answered as
    // aborted to the client that submitted it, and is never started.
    PendingSend s;
    s.client = record->client;
    s.completion.requestWord = record->requestWord;
    s.completion.tag = record->tag;
    s.completion.result = UsbResult::gone(kAborted);
    sends.push_back(std::move(s));
    unlinkAndFree(e, record);
    return;
  }
  record->state |= UrbState::Discarded;
  if (e.node < 0) return;
  for (int i = 0; i < record->partCount; ++i) {
    if (!record->parts[i].inFlight) continue;
    // A discarded part still completes through the reap, which frees it.
    if (table_.platform().discardUrb(e.node, &record->urbs[i]) == 0) ++record->discarded;
  }
}

void UrbEngine::discardUrbByTag(UsbClient& client, uint32_t tag) {
  for (int index = table_.size() - 1; index >= 0; --index) {
    UsbDevice& e = table_.entry(index);
    Sends sends;
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!ownedBy(e, client)) continue;
    for (auto& record : e.transfers) {
      if (record->tag == tag && !(record->state & UrbState::Sent)) {
        discardRecord(e, record.get(), sends);
        flush(sends);
        return;
      }
    }
  }
}

UsbResult UrbEngine::abortEndpoint(UsbClient& client, int index, int port, uint8_t endpoint) {
  if (!table_.isValidEntry(index, port)) return UsbResult::error(19);
  UsbDevice& e = table_.entry(index);
  Sends sends;
  std::lock_guard<std::mutex> lock(e.mutex);
  if (e.state.load() != USB_DEV_CONNECTED || e.node < 0) return UsbResult::error(71);
  if (e.owner != &client) return UsbResult::denied(12);
  std::vector<UrbRecord*> onEndpoint;
  for (auto& record : e.transfers) {
    if (record->endpoint == endpoint) onEndpoint.push_back(record.get());
  }
  for (UrbRecord* record : onEndpoint) discardRecord(e, record, sends);
  // Completions go out before the reply, under the entry's mutex so that
  // their client cannot be released meanwhile.
  flush(sends);
  return UsbResult::ok();
}

int UrbEngine::discardPendingUrbs(int index) {
  if (!table_.isTableIndex(index)) return 0;
  UsbDevice& e = table_.entry(index);
  Sends sends;
  std::lock_guard<std::mutex> lock(e.mutex);
  std::vector<UrbRecord*> records;
  for (auto& record : e.transfers) records.push_back(record.get());
  for (UrbRecord* record : records) discardRecord(e, record, sends);
  flush(sends);
  return 0;
}
