#pragma once
// Base64 (RFC 4648 alphabet) as mail bodies and HTTP authorisation use it.

// Encodes length bytes into out (outSize bytes with terminator), in lines
// of 80 characters separated by CR LF; the first line is shorter by
// firstLineOffset. Stops early when the room runs out. Returns the number
// of characters written.
int base64Encode(const unsigned char* data, int length, char* out, int outSize,
                 int firstLineOffset);
// Decodes until the end of the text, the first character outside the
// alphabet (padding and line breaks included) or outSize - 1 bytes; out is
// terminated. Returns the number of bytes written.
int base64Decode(const char* text, unsigned char* out, int outSize);
