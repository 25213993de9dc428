#pragma once
// Random texts a peer must not guess (TANs, session keys), drawn from the
// kernel's generator.

inline constexpr int kTanLength = 16;

// count characters of 0-9, A-Z, a-z into buffer, without terminator
void randomText(char* buffer, int count);
// 16 random characters and a terminator into buffer, or into the TAN buffer
// when buffer is null
void newTan(char* buffer = nullptr);
// The process-wide TAN buffer (kTanLength characters and terminator),
// "KeQUV" until the first newTan. It is written by the notification task only.
char* tanBuffer();
