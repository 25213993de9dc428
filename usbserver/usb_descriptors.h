#pragma once
// Reading a device's descriptors once, at plug-in, into its table entry: the
// device descriptor and the first configuration from the usbfs node file, and
// the string descriptors through GET_DESCRIPTOR requests. A device's
// descriptors are untrusted input: every length is bounded before use. The
// caller holds the entry's mutex.
#include <cstddef>
#include <cstdint>

class UsbDevice;
class UsbPlatform;

// ioctl(USBDEVFS_CONTROL) on `node`: bytes transferred or -errno; -EBADF for
// a closed node. The buffer is zeroed first.
int usbControlTransfer(UsbPlatform& platform, int node, uint8_t request, uint8_t requestType,
                       uint16_t value, uint16_t index, uint8_t* buffer, uint16_t length,
                       unsigned timeoutMs);

// Reads the node file of the entry's open node: the device descriptor, the
// configuration list and the first configuration's interfaces, endpoint
// counts and strings. False when the device cannot be used.
bool fetchDescriptors(UsbPlatform& platform, UsbDevice& entry);

// Caches the manufacturer, product and serial number strings, and string
// 0xEE on USB 2 devices (except those known to choke on it). Returns 1.
int readStringDescriptors(UsbPlatform& platform, UsbDevice& entry);

// GET_DESCRIPTOR(string) through `node`, cached by (language, index): a
// complete descriptor is cached, a failure is cached as unavailable. Bytes
// or negative.
int getStringDescriptor(UsbPlatform& platform, UsbDevice& entry, int node, uint16_t language,
                        uint8_t index, uint8_t* buffer, uint16_t length);

// The string `index` in the device's first language as text: characters
// outside Latin-1's lower half become '?'. Characters written or -1.
int readStringAscii(UsbPlatform& platform, UsbDevice& entry, uint8_t index, char* buffer, size_t size);

// The first language of the device's string descriptor 0, fetched once; 0
// when the device has none.
uint16_t deviceLanguage(UsbPlatform& platform, UsbDevice& entry, int node);
