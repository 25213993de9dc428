#include "core/paths.h"

#include <gtest/gtest.h>

TEST(SysPath, PrefixesTheRootDirectory) {
  struct Row { const char* root; const char* path; const char* expected; };
  const Row rows[] = {
      {"/", "/etc/params.dat", "/etc/params.dat"},
      {"", "/flash/cert_own.pem", "/flash/cert_own.pem"},
      {"/tmp/r1", "/etc/params.dat", "/tmp/r1/etc/params.dat"},
      {"/tmp/r1///", "/var/sessions.raw", "/tmp/r1/var/sessions.raw"},
      {"/tmp/r1", "relative/name", "relative/name"},
  };
  for (const Row& row : rows) {
    setRootDirectory(row.root);
    EXPECT_EQ(sysPath(row.path), row.expected) << row.root << " " << row.path;
  }
  setRootDirectory("/");
}
