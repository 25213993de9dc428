// The command-line client: options and the commands a person, a test or a
// script runs against the appliance's USB server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/usbclient/proof.h"
#include "tools/usbclient/transport.h"

namespace usbclient {

enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitConnection = 3 };

struct CliOptions {
  ServerAddress server;
  bool portGiven = false;
  std::vector<PortKey> keys;
  ProofForm proofForm = ProofForm::Crypt;
  std::optional<uint32_t> nonce;  // tag of the version request; random when not given
  std::string clientName;
  std::string command;
  std::vector<std::string> args;
};

// False with a message for options that cannot be used.
bool parseCliOptions(int argc, char** argv, CliOptions& out, std::string& error);
const char* cliUsage();
int runCli(const CliOptions& options);

}  // namespace usbclient
