// version_banner: build_version_banner and ansi_text (see the header).
#include "uvc/version_banner.h"

#include "usb/usb_utils.h"

// The image's own DOS header, placed by the PE linker at the image base.
// Weak: an image format without it (the host build) leaves it null.
extern "C" const UCHAR __ImageBase[] __attribute__((weak));

namespace {

// Release time of driver_file_version, seconds since 1970-01-01 UTC
// (2024-10-01 00:00:00): the build time of an image linked without a
// time stamp.
constexpr ULONG release_time = 1727740800;

// PE header fields read for the link time stamp.
constexpr USHORT dos_signature = 0x5A4D;  // "MZ"
constexpr ULONG dos_e_lfanew = 0x3C;      // offset of the NT headers
constexpr ULONG nt_signature = 0x00004550;  // "PE\0\0"
constexpr ULONG nt_time_date_stamp = 8;     // signature, Machine, NumberOfSections
// The headers lie in the image's first page, which stays mapped.
constexpr ULONG header_page = 0x1000;

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG epoch_difference_seconds = 11644473600LL;
constexpr LONGLONG units_per_second = 10000000;

ULONG image_link_time() {
  const UCHAR* base = __ImageBase;
  if (base == nullptr || le16(base) != dos_signature) return 0;
  const ULONG nt = le32(base + dos_e_lfanew);
  if (nt < dos_e_lfanew + 4 || nt > header_page - nt_time_date_stamp - 4) return 0;
  if (le32(base + nt) != nt_signature) return 0;
  return le32(base + nt + nt_time_date_stamp);
}

}  // namespace

ULONG driver_build_time() {
  const ULONG linked = image_link_time();
  return linked != 0 ? linked : release_time;
}

NTSTATUS build_version_banner(PUNICODE_STRING out) {
  if (out == nullptr || out->Buffer == nullptr) return STATUS_INVALID_PARAMETER;

  LARGE_INTEGER system_time;
  system_time.QuadPart = (LONGLONG(driver_build_time()) + epoch_difference_seconds) * units_per_second;
  LARGE_INTEGER local_time;
  ExSystemTimeToLocalTime(&system_time, &local_time);
  TIME_FIELDS fields;
  RtlTimeToTimeFields(&local_time, &fields);

  char time_text[128];
  ansi_text stamp(time_text, sizeof(time_text));
  stamp.append_decimal(fields.Year, 4);
  stamp.append("/");
  stamp.append_decimal(fields.Month, 2);
  stamp.append("/");
  stamp.append_decimal(fields.Day);  // the day is not zero-padded
  stamp.append(" ");
  stamp.append_decimal(fields.Hour, 2);
  stamp.append(":");
  stamp.append_decimal(fields.Minute, 2);
  stamp.append(":");
  stamp.append_decimal(fields.Second, 2);

  char banner_text[200];
  ansi_text banner(banner_text, sizeof(banner_text));
  banner.append("var_aro, ver=");
  banner.append(driver_file_version);
  banner.append(" build (fre) ");
  banner.append(time_text);

  const ULONG used = out->Length / sizeof(WCHAR);
  if (ULONG(out->MaximumLength) / sizeof(WCHAR) < used + banner.length()) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  for (ULONG i = 0; i < banner.length(); ++i) {
    out->Buffer[used + i] = WCHAR(UCHAR(banner_text[i]));
  }
  out->Length = USHORT((used + banner.length()) * sizeof(WCHAR));
  if (out->Length + sizeof(WCHAR) <= out->MaximumLength) {
    out->Buffer[out->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

// ---- ansi_text -------------------------------------------------------------------

ansi_text::ansi_text(char* buffer, ULONG capacity) : buffer_(buffer), capacity_(capacity), length_(0) {
  if (capacity_ > 0) buffer_[0] = 0;
}

void ansi_text::put(char c) {
  if (length_ + 1 < capacity_) {
    buffer_[length_++] = c;
    buffer_[length_] = 0;
  }
}

void ansi_text::append(const char* text) {
  for (; text != nullptr && *text != 0; ++text) put(*text);
}

void ansi_text::append_decimal(LONGLONG value, ULONG min_digits, ULONG width) {
  // Magnitude as unsigned, so that the most negative value has one too.
  ULONGLONG magnitude = value < 0 ? 0 - ULONGLONG(value) : ULONGLONG(value);
  char digits[24];
  ULONG count = 0;
  do {
    digits[count++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  const ULONG zeros = count < min_digits ? min_digits - count : 0;
  const ULONG printed = (value < 0 ? 1 : 0) + zeros + count;
  for (ULONG pad = printed; pad < width; ++pad) put(' ');
  if (value < 0) put('-');
  for (ULONG pad = count; pad < min_digits && pad < sizeof(digits); ++pad) put('0');
  while (count > 0) put(digits[--count]);
}
