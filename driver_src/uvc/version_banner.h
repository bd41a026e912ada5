// version_banner: the driver's version banner, shown as the first overlay
// line and returned by the device identity property, and ansi_text, the
// small fixed-buffer text builder the driver formats its short diagnostic
// lines with (no C runtime formatting exists in the kernel image).
#pragma once

#include "kernel/kernel_api.h"

// File version shown in the banner.
constexpr char driver_file_version[] = "2.9.8.2001";

// Appends "var_aro, ver=2.9.8.2001 build (fre) " and the build time
// ("%04d/%02d/%0d %02d:%02d:%02d", local time) to `out`.
// STATUS_BUFFER_TOO_SMALL, with `out` unchanged, when the banner does not
// fit behind what `out` already holds. PASSIVE_LEVEL.
//
// The build time is the link time stamp in the header of the running
// image. The driver is linked reproducibly (no time stamp is written), so
// where the header holds none (0), or the image has no PE header at all
// (the host build), the release time of this version is used instead.
NTSTATUS build_version_banner(PUNICODE_STRING out);

// The build time as seconds since 1970-01-01 UTC (see build_version_banner).
ULONG driver_build_time();

// Text in a caller's buffer of `capacity` bytes, always zero-terminated;
// what does not fit is cut off.
struct ansi_text {
  ansi_text(char* buffer, ULONG capacity);
  void append(const char* text);
  // Decimal, with a minus sign for negative values, zero-padded to at least
  // `min_digits` digits and space-padded on the left to `width` characters.
  void append_decimal(LONGLONG value, ULONG min_digits = 1, ULONG width = 0);
  ULONG length() const { return length_; }

 private:
  void put(char c);
  char* buffer_;
  ULONG capacity_;
  ULONG length_;
};
