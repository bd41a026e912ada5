// Counted strings, memory comparison, integer conversion and the OS version
// query of the run-time library. Lengths are in bytes, WCHAR is 16 bits;
// no wide standard-library function is used.
#include <string.h>

#include "ke_core.h"

#include <kstandin/ex.h>

namespace {

// Pool tag of strings the run-time library allocates for its callers.
constexpr ULONG kStringTag = 0x67727453;  // 'Strg'

size_t wide_length(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

WCHAR upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

CHAR upcase_ansi(CHAR c) { return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c; }

// Latin-1 view of a UTF-16 code unit; unmappable ones become '?'.
CHAR to_ansi(WCHAR c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return (CHAR)c;
  return '?';
}

}  // namespace

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const UCHAR*>(Source1);
  const auto* b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = NULL;
    return;
  }
  size_t bytes = wide_length(SourceString) * sizeof(WCHAR);
  if (bytes > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) {
    bytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
  }
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString != NULL &&
      wide_length(SourceString) * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES - sizeof(WCHAR)) {
    return STATUS_NAME_TOO_LONG;
  }
  RtlInitUnicodeString(DestinationString, SourceString);
  return STATUS_SUCCESS;
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = NULL;
    return;
  }
  size_t length = strlen(SourceString);
  if (length > MAXUSHORT - 1) length = MAXUSHORT - 1;
  DestinationString->Length = (USHORT)length;
  DestinationString->MaximumLength = (USHORT)(length + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) {
    bytes = DestinationString->MaximumLength & ~(USHORT)1;
  }
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
  }
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (Source == NULL || Source->Length == 0) return STATUS_SUCCESS;
  const size_t total = (size_t)Destination->Length + Source->Length;
  if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove((UCHAR*)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = (USHORT)total;
  if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[total / sizeof(WCHAR)] = UNICODE_NULL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == NULL) return STATUS_SUCCESS;
  const size_t bytes = wide_length(Source) * sizeof(WCHAR);
  if (bytes > UNICODE_STRING_MAX_BYTES) return STATUS_BUFFER_TOO_SMALL;
  UNICODE_STRING source;
  source.Length = (USHORT)bytes;
  source.MaximumLength = (USHORT)bytes;
  source.Buffer = const_cast<PWSTR>(Source);
  return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  const size_t n1 = String1->Length / sizeof(WCHAR);
  const size_t n2 = String2->Length / sizeof(WCHAR);
  const size_t n = n1 < n2 ? n1 : n2;
  for (size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = upcase(a);
      b = upcase(b);
    }
    if (a != b) return (LONG)a - (LONG)b;
  }
  return (LONG)n1 - (LONG)n2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2,
                             BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  for (USHORT i = 0; i < String1->Length; ++i) {
    CHAR a = String1->Buffer[i];
    CHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = upcase_ansi(a);
      b = upcase_ansi(b);
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  const unsigned c = (USHORT)SourceCharacter;
  if (c >= 'a' && c <= 'z') return (WCHAR)(c - 0x20);
  if (c < 0xE0) return SourceCharacter;
  if (c <= 0xFE) return c == 0xF7 ? SourceCharacter : (WCHAR)(c - 0x20);  // Latin-1
  if (c == 0xFF) return (WCHAR)0x178;
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return (WCHAR)(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return (WCHAR)(c - 0x20);                // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return (WCHAR)(c - 0x50);
  return SourceCharacter;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  size_t length = SourceString->Length / sizeof(WCHAR);
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    auto* buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, length + 1, kStringTag);
    if (buffer == NULL) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = (USHORT)(length + 1);
  } else if (length >= DestinationString->MaximumLength) {
    // Truncated to what fits with the terminator.
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    status = STATUS_BUFFER_OVERFLOW;
    length = DestinationString->MaximumLength - 1;
  }
  for (size_t i = 0; i < length; ++i) {
    DestinationString->Buffer[i] = to_ansi(SourceString->Buffer[i]);
  }
  DestinationString->Buffer[length] = ANSI_NULL;
  DestinationString->Length = (USHORT)length;
  return status;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  const size_t length = SourceString->Length;
  const size_t bytes = length * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag);
    if (buffer == NULL) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else if (bytes + sizeof(WCHAR) > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < length; ++i) {
    DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
  }
  DestinationString->Buffer[length] = UNICODE_NULL;
  DestinationString->Length = (USHORT)bytes;
  return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != NULL) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  UnicodeString->Buffer = NULL;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != NULL) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
  AnsiString->Buffer = NULL;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  const WCHAR* p = String->Buffer;
  const WCHAR* end = p + String->Length / sizeof(WCHAR);
  while (p < end && (*p == L' ' || *p == L'\t')) ++p;
  bool negative = false;
  if (p < end && (*p == L'+' || *p == L'-')) negative = *p++ == L'-';
  if (Base == 0) {
    Base = 10;
    if (end - p >= 2 && p[0] == L'0') {
      if (p[1] == L'x')
        Base = 16;
      else if (p[1] == L'o')
        Base = 8;
      else if (p[1] == L'b')
        Base = 2;
      if (Base != 10) p += 2;
    }
  }
  ULONG result = 0;
  bool any_digit = false;
  for (; p < end; ++p) {
    ULONG digit;
    if (*p >= L'0' && *p <= L'9')
      digit = *p - L'0';
    else if (*p >= L'a' && *p <= L'f')
      digit = *p - L'a' + 10;
    else if (*p >= L'A' && *p <= L'F')
      digit = *p - L'A' + 10;
    else
      break;
    if (digit >= Base) break;
    result = result * Base + digit;
    any_digit = true;
  }
  if (!any_digit) return STATUS_INVALID_PARAMETER;
  *Value = negative ? (ULONG)(0u - result) : result;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  size_t count = 0;
  do {
    const ULONG d = Value % Base;
    digits[count++] = (WCHAR)(d < 10 ? L'0' + d : L'A' + d - 10);
    Value /= Base;
  } while (Value != 0);
  const size_t bytes = count * sizeof(WCHAR);
  if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < count; ++i) String->Buffer[i] = digits[count - 1 - i];
  String->Length = (USHORT)bytes;
  if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[count] = UNICODE_NULL;
  return STATUS_SUCCESS;
}

// ---- ntstrsafe-style lengths ---------------------------------------------
namespace {

// Characters before the terminator within cchMax; a string without one in
// that range, a null string or an out-of-range maximum is refused.
template <typename Char>
NTSTATUS counted_length(const Char* psz, size_t cchMax, size_t* pcchLength) {
  size_t n = 0;
  if (psz != NULL && cchMax != 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
    while (n < cchMax && psz[n] != 0) ++n;
  }
  const bool ok = psz != NULL && n < cchMax && cchMax <= NTSTRSAFE_MAX_CCH;
  if (pcchLength != NULL) *pcchLength = ok ? n : 0;
  return ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS NTAPI RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
  return counted_length(psz, cchMax, pcchLength);
}

NTSTATUS NTAPI RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
  size_t chars = 0;
  const NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &chars);
  if (pcbLength != NULL) *pcbLength = chars * sizeof(WCHAR);
  return status;
}

NTSTATUS NTAPI RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength) {
  return counted_length(psz, cchMax, pcchLength);
}

NTSTATUS NTAPI RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) {
  return RtlStringCchLengthA(psz, cbMax, pcbLength);
}

// ---- version ------------------------------------------------------------------
BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) { return Version <= NTDDI_WIN10; }

NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  lpVersionInformation->dwMajorVersion = 10;
  lpVersionInformation->dwMinorVersion = 0;
  lpVersionInformation->dwBuildNumber = 10240;
  lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  lpVersionInformation->szCSDVersion[0] = UNICODE_NULL;
  return STATUS_SUCCESS;
}
