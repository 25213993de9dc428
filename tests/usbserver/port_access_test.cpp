#include "usbserver/port_access.h"

#include <gtest/gtest.h>

#include <map>

#include "usb_test_support.h"
#include "usbserver/key_proof.h"
#include "usbserver/usb_port_settings.h"

namespace {

class FakePortSettings : public UsbPortSettings {
 public:
  int portCount() const override { return ports; }
  std::optional<std::string> accessMode(int p) const override { return text(mode, p); }
  std::optional<std::string> portKey(int p) const override { return text(key, p); }
  std::optional<std::string> admittedIds(int p) const override { return text(ids, p); }
  std::optional<int> vlanBinding(int p) const override { return number(binding, p); }
  std::optional<bool> requiresTls(int p) const override {
    auto v = number(tls, p);
    return v ? std::optional<bool>(*v != 0) : std::nullopt;
  }
  std::optional<bool> prereset(int p) const override {
    auto v = number(reset, p);
    return v ? std::optional<bool>(*v != 0) : std::nullopt;
  }
  std::optional<int> vlanId(int v) const override { return number(vlanIds, v); }
  std::optional<std::string> slotVendorId(int s) const override { return text(vendorIds, s); }
  std::optional<std::string> slotProductId(int s) const override { return text(productIds, s); }

  int ports = 20;
  std::map<int, std::string> mode, key, ids, vendorIds, productIds;
  std::map<int, int> binding, tls, reset, vlanIds;

 private:
  static std::optional<std::string> text(const std::map<int, std::string>& m, int i) {
    auto it = m.find(i);
    return it == m.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  static std::optional<int> number(const std::map<int, int>& m, int i) {
    auto it = m.find(i);
    return it == m.end() ? std::nullopt : std::optional<int>(it->second);
  }
};

// Values computed independently with OpenSSL's DES_fcrypt and SHA-1.
struct ProofCase {
  const char* key;
  uint32_t nonce;
  const char* crypt;
  const char* sha1;
};
const ProofCase kProofs[] = {
    {"secretkey", 0x3e, "+AGNTBI9Frmt.", "3a38b90b9edcc5529b4ef10f67968b5af776cd67"},
    {"secretkey", 0x12345678, "qi0hl1aBqBX/c", "d92397de7a27b0cb7efcc8ff4e0a1e8f84923324"},
    {"port-key-1", 0x9abcdef0, "qiVZ/D65wFmYg", "d3d9f73477411dc57e4b7b94c3114867395f6d6d"},
};

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

TEST(KeyProofTest, BothFormsMatchOpenSslIncludingSaltsWithAPlus) {
  for (const ProofCase& c : kProofs) {
    char crypt[14];
    ASSERT_TRUE(cryptKeyText(c.key, static_cast<int32_t>(c.nonce), crypt));
    EXPECT_STREQ(crypt, c.crypt);
    uint8_t digest[20];
    shaKeyDigest(c.key, static_cast<int32_t>(c.nonce), digest);
    EXPECT_EQ(hex(digest, 20), c.sha1);
  }
  char a[14], b[14];
  ASSERT_TRUE(cryptKeyText("secretkey", 62, a));
  ASSERT_TRUE(cryptKeyText("secretke", 62, b));
  EXPECT_STREQ(a, b);  // only the first eight characters count
}

TEST(KeyProofTest, BlocksAreCheckedForMagicAndLength) {
  Bytes crypt = {'Z', 'O', 'V', 1};
  Bytes entry(12, 'x');
  crypt.insert(crypt.end(), entry.begin(), entry.end());
  ASSERT_TRUE(KeyProofBlock::parse(crypt.data(), crypt.size()));
  crypt[3] = 2;
  EXPECT_FALSE(KeyProofBlock::parse(crypt.data(), crypt.size()));
  Bytes twentyOne = {'Z', 'O', 'V', 21};
  twentyOne.resize(4 + 21 * 12);
  auto block = KeyProofBlock::parse(twentyOne.data(), twentyOne.size());
  ASSERT_TRUE(block);
  EXPECT_EQ(block->count, 21);
  Bytes digest = {'Z', 'O', 'v', 0};
  EXPECT_TRUE(KeyProofBlock::parse(digest.data(), digest.size())->digest);
  Bytes wrong = {'Z', 'o', 'V', 0};
  EXPECT_FALSE(KeyProofBlock::parse(wrong.data(), wrong.size()));
  EXPECT_FALSE(KeyProofBlock::parse(wrong.data(), 3));
}

class PortAccessTest : public ::testing::Test {
 protected:
  Bytes cryptBlock(std::vector<std::pair<int, std::string>> entries) {
    Bytes b = {'Z', 'O', 'V', static_cast<uint8_t>(entries.size())};
    for (auto& [port, proof] : entries) {
      b.push_back(static_cast<uint8_t>(port));
      b.insert(b.end(), proof.begin(), proof.end());
    }
    return b;
  }
  FakePortSettings settings;
  PortAccess access{settings};
  RecordingClient client;
};

TEST_F(PortAccessTest, KeyProofsAdmitOnlyTheirPortAndNonce) {
  settings.mode[3] = "key";
  settings.key[3] = "secretkey";
  Bytes block = cryptBlock({{3, std::string(kProofs[0].crypt + 2)}});
  auto parsed = KeyProofBlock::parse(block.data(), block.size());
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(access.checkKeyProof(3, 0x3e, *parsed));
  EXPECT_FALSE(access.checkKeyProof(3, 0x3f, *parsed));  // a newer nonce
  EXPECT_FALSE(access.checkKeyProof(3, 0x3e, KeyProofBlock::none()));
  EXPECT_TRUE(access.checkKeyProof(4, 0x3e, KeyProofBlock::none()));  // no key on port 4
  // Only the first entry of a port counts.
  Bytes twice = cryptBlock({{3, "wrongwrongw"}, {3, std::string(kProofs[0].crypt + 2)}});
  EXPECT_FALSE(access.checkKeyProof(3, 0x3e, *KeyProofBlock::parse(twice.data(), twice.size())));
  // An empty key needs no proof.
  settings.key[3] = "";
  EXPECT_TRUE(access.checkKeyProof(3, 0x3e, KeyProofBlock::none()));
  // A block with more than twenty entries admits no protected port.
  settings.key[3] = "secretkey";
  std::vector<std::pair<int, std::string>> many(21, {3, std::string(kProofs[0].crypt + 2)});
  Bytes big = cryptBlock(many);
  EXPECT_FALSE(access.checkKeyProof(3, 0x3e, *KeyProofBlock::parse(big.data(), big.size())));
}

TEST_F(PortAccessTest, DigestProofs) {
  settings.mode[5] = "keyids";
  settings.key[5] = "port-key-1";
  uint8_t digest[20];
  shaKeyDigest("port-key-1", static_cast<int32_t>(0x9abcdef0), digest);
  Bytes block = {'Z', 'O', 'v', 1, 0, 5};
  block.insert(block.end(), digest, digest + 20);
  auto parsed = KeyProofBlock::parse(block.data(), block.size());
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(access.checkKeyProof(5, static_cast<int32_t>(0x9abcdef0), *parsed));
  block[5] = 6;
  EXPECT_FALSE(access.checkKeyProof(5, static_cast<int32_t>(0x9abcdef0), *KeyProofBlock::parse(block.data(), block.size())));
}

TEST_F(PortAccessTest, IdListsAdmitListedDevicesExactly) {
  settings.mode[1] = "ids";
  settings.ids[1] = "0781:5567";
  settings.vendorIds[1] = "0781";
  settings.productIds[1] = "5567";
  EXPECT_TRUE(access.checkAccessIds(0, 1));
  settings.productIds[1] = "5568";
  EXPECT_FALSE(access.checkAccessIds(0, 1));
  settings.ids[1] = "0781:556A";
  settings.productIds[1] = "556a";
  EXPECT_FALSE(access.checkAccessIds(0, 1));
  settings.productIds[1] = "";
  settings.vendorIds[1] = "";
  EXPECT_FALSE(access.isIdAllowed(0, 1));
  settings.mode[1] = "key";
  EXPECT_TRUE(access.checkAccessIds(0, 1));
  EXPECT_FALSE(access.checkAccessIds(40, 1));
  EXPECT_FALSE(access.checkAccessIds(0, 21));
  EXPECT_TRUE(access.checkAccessIds(0, 2));  // setting hidden
}

TEST_F(PortAccessTest, VlanBinding) {
  settings.vlanIds[3] = 30;
  EXPECT_TRUE(access.checkPortVlan(1, &client));
  settings.binding[1] = 0;
  EXPECT_TRUE(access.checkPortVlan(1, &client));
  settings.binding[1] = 21;
  EXPECT_TRUE(access.checkPortVlan(1, &client));
  client.vlan = 30;
  EXPECT_FALSE(access.checkPortVlan(1, &client));
  settings.binding[1] = 3;
  EXPECT_TRUE(access.checkPortVlan(1, &client));
  client.vlan = -1;
  EXPECT_FALSE(access.checkPortVlan(1, &client));
  EXPECT_FALSE(access.checkPortVlan(1, nullptr));
}

TEST_F(PortAccessTest, ConnectRunsEveryCheckBeforeTheDeviceIsTaken) {
  EXPECT_EQ(access.checkConnect(0, 1, client, false), UsbResult::error(19));
  EXPECT_EQ(access.checkConnect(0, 1, client, true), UsbResult::ok());
  settings.binding[1] = 21;
  client.vlan = 5;
  EXPECT_EQ(access.checkConnect(0, 1, client, true), UsbResult::error(19));
  client.vlan = -1;
  settings.mode[1] = "ids";
  settings.ids[1] = "";
  settings.vendorIds[1] = "0781";
  settings.productIds[1] = "5567";
  EXPECT_EQ(access.checkConnect(0, 1, client, true), UsbResult::denied(14));
  settings.ids[1] = "0781:5567";
  settings.tls[1] = 1;
  EXPECT_EQ(access.checkConnect(0, 1, client, true), UsbResult::denied(13));
  client.encrypted = true;
  EXPECT_EQ(access.checkConnect(0, 1, client, true), UsbResult::ok());
  EXPECT_FALSE(access.portPrereset(1));
  settings.reset[1] = 1;
  EXPECT_TRUE(access.portPrereset(1));
}

TEST_F(PortAccessTest, ListingNeedsProofAndVlan) {
  settings.mode[2] = "key";
  settings.key[2] = "secretkey";
  EXPECT_FALSE(access.admitsListing(2, 0, KeyProofBlock::none(), client));
  EXPECT_TRUE(access.admitsListing(1, 0, KeyProofBlock::none(), client));
  settings.binding[1] = 3;
  settings.vlanIds[3] = 30;
  EXPECT_FALSE(access.admitsListing(1, 0, KeyProofBlock::none(), client));
}

}  // namespace
