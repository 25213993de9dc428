#pragma once
// "<tag>: <system error text>" on standard error, as perror prints it, for an
// error number that need not be the current errno.
void printSystemError(const char* tag, int errorNumber);
