#pragma once
// Attaching an image file to a loop device, to mount the application image.

// Attaches the image (read-only) at offset to the loop device; the image
// path is the device's name (its first 63 characters). 1 on success; when
// the status cannot be set the device is detached again.
int loopAttach(const char* loopDevice, const char* image, long offset);
// Detaches whatever is attached to the loop device; 1 on success.
int loopDetach(const char* loopDevice);
