#pragma once
// Descriptors 0, 1 and 2 that the starting program left closed are opened
// on /dev/null, so that the first socket or file never lands on them (a
// descriptor 0 counts as "none" in waits, and writes to stderr would land
// in whatever file got descriptor 2). Call first thing in main.
// Returns false when /dev/null could not be opened.
bool occupyStandardDescriptors();
