#pragma once
// The form in which parameters meet the SNMP agent. The agent adapter
// converts the library's variable (whose integers are C longs, 8 bytes on
// 64-bit hosts) into an SnmpValue before it calls Param::setBySnmp, and
// converts Param::getBySnmp's result back, so the parameter classes never
// depend on the library's integer width.
#include <cstdint>
#include <string>

// ASN.1 types of the values parameters exchange.
enum SnmpType : uint8_t {
  SnmpInteger = 0x02,
  SnmpOctetString = 0x04,
  SnmpIpAddress = 0x40,
  SnmpUnsigned32 = 0x42,  // also Gauge32
};

// The agent library's SET phases, in its numbering.
enum SnmpPhase : int {
  SnmpReserve1 = 0,
  SnmpReserve2 = 1,
  SnmpAction = 2,
  SnmpCommit = 3,
  SnmpFree = 4,
  SnmpUndo = 5,
};

// SNMP error-status values setBySnmp answers with.
enum SnmpStatus : int {
  SnmpNoError = 0,
  SnmpNoSuchName = 2,
  SnmpNoAccess = 6,
  SnmpWrongType = 7,
  SnmpWrongLength = 8,
  SnmpWrongValue = 10,
};

struct SnmpValue {
  uint8_t type = SnmpInteger;
  // INTEGER and Unsigned32 values, whatever width the library used.
  int64_t integer = 0;
  // OCTET STRING contents; an IpAddress as its octets in network order.
  std::string octets;

  static SnmpValue ofInteger(int64_t v, uint8_t type = SnmpInteger) {
    SnmpValue s;
    s.type = type;
    s.integer = v;
    return s;
  }
  static SnmpValue ofOctets(std::string bytes, uint8_t type = SnmpOctetString) {
    SnmpValue s;
    s.type = type;
    s.octets = std::move(bytes);
    return s;
  }
};
