#pragma once
// Every path the appliance owns (/etc/params.dat, /flash, /var, /romfs, the
// device nodes, the UNIX sockets) is reached through sysPath(), which puts
// the root directory in front. On the appliance the root is "/"; tests and
// the simulated appliance give their own.
#include <string>
#include <string_view>

// Sets the root directory once at start (before any task runs); a trailing
// '/' is dropped, an empty text means "/".
void setRootDirectory(std::string_view root);

// The root directory without a trailing '/' ("" for "/").
const std::string& rootDirectory();

// sysPath("/etc/params.dat") -> "<root>/etc/params.dat". A path that does not
// start with '/' is returned unchanged.
std::string sysPath(std::string_view absolutePath);
