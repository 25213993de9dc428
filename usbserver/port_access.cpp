#include "usbserver/port_access.h"

#include <cstring>
#include <string>

#include "usbserver/usb_client.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_port_settings.h"

namespace {

constexpr size_t kIdTextLimit = 15;

bool validPort(int port) { return port >= 1 && port <= PortAccess::kLastPort; }

}  // namespace

bool PortAccess::needsKeyProof(int port, std::string* key) const {
  if (!validPort(port)) return false;
  std::optional<std::string> mode = settings_.accessMode(port);
  std::optional<std::string> value = settings_.portKey(port);
  if (!mode || !value || value->empty()) return false;
  if (*mode != "key" && *mode != "keyids") return false;
  if (key) *key = *value;
  return true;
}

bool PortAccess::cryptKeyProof(int port, int32_t nonce, char out[14]) const {
  std::string key;
  if (!needsKeyProof(port, &key)) return false;
  if (!cryptKeyText(key, nonce, out)) std::memset(out, 0, 14);
  return true;
}

bool PortAccess::shaKeyProof(int port, int32_t nonce, uint8_t out[20]) const {
  std::string key;
  if (!needsKeyProof(port, &key)) return false;
  shaKeyDigest(key, nonce, out);
  return true;
}

bool PortAccess::checkKeyProof(int port, int32_t nonce, const KeyProofBlock& block) const {
  char crypt[14];
  uint8_t digest[20];
  if (block.digest ? !shaKeyProof(port, nonce, digest) : !cryptKeyProof(port, nonce, crypt)) return true;
  if (block.count > KeyProofBlock::kMaxEntries) return false;
  // A proof that could not be computed matches nothing.
  if (!block.digest && crypt[0] == 0) return false;
  const size_t size = block.digest ? KeyProofBlock::kDigestEntry : KeyProofBlock::kCryptEntry;
  const size_t entries = block.entries ? block.entryBytes / size : 0;
  for (size_t i = 0; i < entries && i < static_cast<size_t>(block.count); ++i) {
    const uint8_t* e = block.entries + i * size;
    const int entryPort = block.digest ? (e[0] << 8) | e[1] : e[0];
    if (entryPort != port) continue;
    return block.digest ? std::memcmp(e + 2, digest, 20) == 0 : std::memcmp(e + 1, crypt + 2, 11) == 0;
  }
  return false;
}

bool PortAccess::isIdAllowed(int index, int port) const {
  if (!validPort(port) || index < 0 || index >= UsbDeviceTable::kCapacity) return false;
  std::optional<std::string> vendor = settings_.slotVendorId(index + 1);
  std::optional<std::string> product = settings_.slotProductId(index + 1);
  std::optional<std::string> list = settings_.admittedIds(port);
  if (!vendor || !product || !list) return false;
  // A slot without a device has no ids; a bare ":" must not match a list.
  if (vendor->empty() || product->empty()) return false;
  std::string text = *vendor + ":" + *product;
  if (text.size() > kIdTextLimit) text.resize(kIdTextLimit);
  return list->find(text) != std::string::npos;
}

bool PortAccess::checkAccessIds(int index, int port) const {
  if (!validPort(port) || index < 0 || index >= UsbDeviceTable::kCapacity) return false;
  std::optional<std::string> mode = settings_.accessMode(port);
  if (!mode) return true;
  if (*mode == "ids" || *mode == "keyids") return isIdAllowed(index, port);
  return true;
}

bool PortAccess::checkPortVlan(int port, const UsbClient* client) const {
  if (!client) return false;
  std::optional<int> binding = settings_.vlanBinding(port);
  if (!binding || *binding <= 0) return true;
  if (*binding <= settings_.portCount()) return client->vlanId() == settings_.vlanId(*binding).value_or(-1);
  return client->vlanId() == -1;
}

bool PortAccess::portNeedsEncryption(int port) const { return settings_.requiresTls(port).value_or(false); }

bool PortAccess::portPrereset(int port) const { return settings_.prereset(port).value_or(false); }

bool PortAccess::admitsListing(int port, int32_t nonce, const KeyProofBlock& block, const UsbClient& client) const {
  return checkKeyProof(port, nonce, block) && checkPortVlan(port, &client);
}

UsbResult PortAccess::checkConnect(int index, int port, const UsbClient& client, bool admittedByLastList) const {
  if (!admittedByLastList || !checkPortVlan(port, &client)) return UsbResult::error(19);
  if (!checkAccessIds(index, port)) return UsbResult::denied(14);
  if (!client.isEncrypted() && portNeedsEncryption(port)) return UsbResult::denied(13);
  return UsbResult::ok();
}
