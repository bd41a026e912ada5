// Run-time library of the stand-in (counted strings, numbers, time fields,
// the version), DbgPrint formatting and assertions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verifier_listener.h"

namespace {

bool equals(const UNICODE_STRING& s, const wchar_t* text) {
  UNICODE_STRING expected;
  RtlInitUnicodeString(&expected, text);
  return RtlEqualUnicodeString(&s, &expected, FALSE);
}

// Year, month, day, hour, minute, second, milliseconds, weekday.
std::vector<int> fields_of(const TIME_FIELDS& f) {
  return {f.Year, f.Month, f.Day, f.Hour, f.Minute, f.Second, f.Milliseconds, f.Weekday};
}

// No routine writes past the buffer it is given, and each says when it
// could not write everything.
TEST(CoreRtlString, CountedStringsAndNumbersStayInsideTheirBuffers) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"DriverData");
  EXPECT_EQ(name.Length, 20);
  EXPECT_EQ(name.MaximumLength, 22);
  WCHAR storage[8];
  UNICODE_STRING small{0, sizeof(storage), storage};
  RtlCopyUnicodeString(&small, &name);  // truncated to the buffer
  EXPECT_EQ(small.Length, 16);
  EXPECT_EQ(RtlAppendUnicodeToString(&small, L"x"), STATUS_BUFFER_TOO_SMALL);
  small.Length = 4;
  EXPECT_EQ(RtlAppendUnicodeToString(&small, L"ab"), STATUS_SUCCESS);
  EXPECT_TRUE(equals(small, L"Drab"));
  EXPECT_EQ(storage[4], 0);  // terminated when there is room
  UNICODE_STRING upper;
  RtlInitUnicodeString(&upper, L"DRIVERDATA");
  EXPECT_FALSE(RtlEqualUnicodeString(&name, &upper, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&name, &upper, TRUE));

  // To ANSI and back with allocated buffers (freed, or the test fails with
  // a pool leak), into a fixed buffer, and with the pool exhausted.
  const WCHAR text[] = {L'K', L'\x00e9', L'\x4e2d', 0};
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, text);
  ANSI_STRING ansi{};
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(ansi.Buffer), "K\xe9?");
  UNICODE_STRING back{};
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(back.Buffer[1], L'\x00e9');
  RtlFreeUnicodeString(&back);
  kstandin::fail_next_allocations(1);
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_NO_MEMORY);
  RtlFreeAnsiString(&ansi);
  char tiny[3];
  ANSI_STRING fixed{0, sizeof(tiny), tiny};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &name, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(tiny), "Dr");

  WCHAR digits[12];
  UNICODE_STRING out{0, sizeof(digits), digits};
  EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 10, &out), STATUS_SUCCESS);
  EXPECT_TRUE(equals(out, L"4294967295"));
  out.MaximumLength = 4;
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &out), STATUS_BUFFER_OVERFLOW);
}

TEST(CoreRtlTime, TimeFieldsOfAKnownDateAndTheVersion) {
  LARGE_INTEGER time;
  time.QuadPart = 133536879301230000LL;  // 2024-02-29 13:45:30.123 UTC, a Thursday
  TIME_FIELDS f;
  RtlTimeToTimeFields(&time, &f);
  EXPECT_EQ(fields_of(f), (std::vector<int>{2024, 2, 29, 13, 45, 30, 123, 4}));
  LARGE_INTEGER back;
  ASSERT_TRUE(RtlTimeFieldsToTime(&f, &back));
  EXPECT_EQ(back.QuadPart, time.QuadPart);

  time.QuadPart = 0;
  RtlTimeToTimeFields(&time, &f);
  EXPECT_EQ(fields_of(f), (std::vector<int>{1601, 1, 1, 0, 0, 0, 0, 1}));  // a Monday

  TIME_FIELDS invalid{2100, 2, 29, 0, 0, 0, 0, 0};  // 2100 is not a leap year
  EXPECT_FALSE(RtlTimeFieldsToTime(&invalid, &back));
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));  // the kernel is Windows 10's first
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_RS1));
}

TEST(CoreDebug, DbgPrintFormatsKernelConversions) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"Y800\x00e9");
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "MJPG");
  const WCHAR wide[] = L"wide";
  DbgPrint("name=%wZ ansi=%Z ws=%ws S=%S\n", &name, &ansi, wide, wide);
  DbgPrint("%d %ld %u %I64x %08X %-4s| %5.2s| %c%C %s %%", -3, (LONG)-4, 7u, 0x123456789ULL,
           0xBEEFu, "ab", "xyz", 'q', (int)L'w', (const char*)nullptr);
  DbgPrintEx(DPFLTR_IHVVIDEO_ID, DPFLTR_TRACE_LEVEL, "%p|%wZ", (void*)0x1234,
             (PUNICODE_STRING) nullptr);
  DbgPrint("%.3wZ", &name);
  const auto log = kstandin::take_debug_log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "name=Y800\xc3\xa9 ansi=MJPG ws=wide S=wide\n");
  EXPECT_EQ(log[1], "-3 -4 7 123456789 0000BEEF ab  |    xy| qw (null) %");
  EXPECT_EQ(log[2], "0000000000001234|(null)");
  EXPECT_EQ(log[3], "Y80");
  EXPECT_TRUE(kstandin::take_debug_log().empty());
}

TEST(CoreDebug, AssertionsReportAndContinue) {
  int steps = 0;
  const void* descriptor = nullptr;
  if (!ASSERT(descriptor != 0)) ++steps;  // the code goes on to its error path
  ASSERT(steps == 1);
  NT_ASSERT(steps == 1);
  const auto log = kstandin::take_debug_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Assertion failed: descriptor != 0", 0), 0u) << log[0];
  EXPECT_NE(log[0].find("core_rtl_test.cpp"), std::string::npos);
  EXPECT_TRUE(tvtest::take_violation("assertion"));

  PAGED_CODE();
  EXPECT_TRUE(kstandin::take_violations().empty());
  const KIRQL old = KeRaiseIrqlToDpcLevel();
  PAGED_CODE();
  KeLowerIrql(old);
  EXPECT_TRUE(tvtest::take_violation("assertion"));
  ASSERT_EQ(kstandin::take_debug_log().size(), 1u);
}

}  // namespace
