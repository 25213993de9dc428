// Key proofs checked against values computed apart from the client: the
// salt and digest input by a Python script of their own, DES crypt by
// OpenSSL's DES_fcrypt through ctypes, SHA-1 by the openssl command.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/tools/test_bytes.h"
#include "tools/usbclient/proof.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

const char* kScript = R"PY(
import ctypes, subprocess, sys
A = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
lib = ctypes.CDLL("libcrypto.so.3")
def signed(n):
    return n - (1 << 32) if n & 0x80000000 else n
for arg in sys.argv[1:]:
    keyhex, nonce = arg.split(":")
    key = bytes.fromhex(keyhex)
    nonce = int(nonce, 16)
    n = signed(nonce)
    salt = A[(n ^ (n >> 24)) & 63] + A[((n >> 16) ^ (n >> 8)) & 63]
    out = ctypes.create_string_buffer(14)
    lib.DES_fcrypt(key, salt.encode(), out)
    text = (A[(nonce >> 24) & 63] + A[(nonce >> 16) & 63] + A[(nonce >> 8) & 63] +
            A[nonce & 63]).encode() + key[:67]
    sha = subprocess.run(["openssl", "dgst", "-sha1", "-r"], input=text,
                         capture_output=True, check=True).stdout.split()[0].decode()
    print(salt, out.value.decode(), sha)
)PY";

struct Expected {
  std::string salt;
  std::string crypt;  // 13 characters: salt and proof
  std::string sha1;   // hex
};

struct ProofCase {
  std::string key;
  uint32_t nonce;
};

const std::vector<ProofCase>& proofCases() {
  static const std::vector<ProofCase> c = {
      {"secretkey", 0x0000003e},  // salt "+A"
      {"secretkey", 0x00003e00},  // salt "A+"
      {"port-2-key", 0x00003e3e},  // salt "++"
      {"slash", 0x0000003f},       // salt "/A"
      {"negative", 0xffffffff},
      {"negative", 0x80000000},
      {"mixed", 0x12345678},
      {"", 0x00000000},
      {"12345678abc", 0x0badf00d},
      {std::string(80, 'k'), 0x7f00ff01},  // digest takes 67 characters
      {"port-2-key", 0x0000003e},
  };
  return c;
}

std::vector<Expected> computeIndependently() {
  auto dir = std::filesystem::temp_directory_path() /
             ("usbclient_proof_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto script = dir / "proof.py";
  std::ofstream(script) << kScript;
  std::string cmd = "/usr/bin/python3 " + script.string();
  for (const ProofCase& c : proofCases()) {
    char nonce[16];
    std::snprintf(nonce, sizeof nonce, "%08x", c.nonce);
    cmd += " " + toHex(Bytes(c.key.begin(), c.key.end())) + ":" + nonce;
  }
  std::vector<Expected> out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
      std::istringstream in(line);
      Expected e;
      in >> e.salt >> e.crypt >> e.sha1;
      out.push_back(e);
    }
    ::pclose(p);
  }
  std::filesystem::remove_all(dir);
  return out;
}

class KeyProof : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { expected_ = new std::vector<Expected>(computeIndependently()); }
  static void TearDownTestSuite() {
    delete expected_;
    expected_ = nullptr;
  }
  static std::vector<Expected>* expected_;
};
std::vector<Expected>* KeyProof::expected_ = nullptr;

TEST_F(KeyProof, CryptFormMatchesOpenSslDesCrypt) {
  ASSERT_EQ(expected_->size(), proofCases().size());
  for (size_t i = 0; i < proofCases().size(); ++i) {
    const ProofCase& c = proofCases()[i];
    const Expected& e = (*expected_)[i];
    SCOPED_TRACE(c.key + " nonce " + std::to_string(c.nonce));
    ASSERT_EQ(e.crypt.size(), 13u);
    EXPECT_EQ(cryptSalt(c.nonce), e.salt);
    EXPECT_EQ(e.crypt.substr(0, 2), e.salt);
    EXPECT_EQ(cryptProof(c.key, c.nonce), e.crypt.substr(2));
  }
}

TEST_F(KeyProof, SaltsWithPlusAreCovered) {
  EXPECT_EQ(cryptSalt(0x3e), "+A");
  EXPECT_EQ(cryptSalt(0x3e00), "A+");
  EXPECT_EQ(cryptSalt(0x3e3e), "++");
}

TEST_F(KeyProof, DigestFormMatchesOpenSslSha1) {
  ASSERT_EQ(expected_->size(), proofCases().size());
  for (size_t i = 0; i < proofCases().size(); ++i) {
    const ProofCase& c = proofCases()[i];
    auto d = digestProof(c.key, c.nonce);
    EXPECT_EQ(toHex(Bytes(d.begin(), d.end())), (*expected_)[i].sha1) << c.key;
  }
}

TEST_F(KeyProof, CryptUsesOnlyTheFirstEightKeyCharacters) {
  EXPECT_EQ(cryptProof("12345678abc", 0x0badf00d), cryptProof("12345678xyz", 0x0badf00d));
  EXPECT_NE(digestProof("12345678abc", 0x0badf00d), digestProof("12345678xyz", 0x0badf00d));
}

TEST_F(KeyProof, ProofBlocksCarryMagicCountPortAndProof) {
  ASSERT_EQ(expected_->size(), proofCases().size());
  const Expected& plusSalt = (*expected_)[0];  // "secretkey", nonce 0x3e
  const Expected& second = (*expected_)[10];   // "port-2-key", nonce 0x3e
  PortKey keys[] = {{2, "secretkey"}, {20, "port-2-key"}};
  Bytes block;
  ASSERT_TRUE(buildProofBlock(ProofForm::Crypt, 0x3e, keys, block));
  std::string proof2 = plusSalt.crypt.substr(2);
  std::string proof20 = second.crypt.substr(2);
  Bytes expected = hex("5a4f5602 02") + Bytes(proof2.begin(), proof2.end()) + hex("14") +
                   Bytes(proof20.begin(), proof20.end());
  EXPECT_EQ(toHex(block), toHex(expected));
  EXPECT_EQ(block.size(), 4u + 12 * 2);

  PortKey one[] = {{2, "secretkey"}};
  ASSERT_TRUE(buildProofBlock(ProofForm::Digest, 0x3e, one, block));
  EXPECT_EQ(toHex(block), "5a4f76010002" + plusSalt.sha1);
  EXPECT_EQ(block.size(), 4u + 22);
}

TEST_F(KeyProof, MoreThanTwentyEntriesAreRefused) {
  std::vector<PortKey> keys(21, PortKey{1, "k"});
  Bytes block{1};
  EXPECT_FALSE(buildProofBlock(ProofForm::Digest, 1, keys, block));
  EXPECT_TRUE(block.empty());
  keys.resize(20);
  ASSERT_TRUE(buildProofBlock(ProofForm::Digest, 1, keys, block));
  EXPECT_EQ(block.size(), 4u + 22 * 20);
  EXPECT_LE(block.size(), kMaxProofBlock);
}

}  // namespace
