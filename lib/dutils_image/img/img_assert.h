// Report-only assertions of the image library. A failed precondition is
// counted and passed to a hook with the condition's text; the code then goes
// on and decides for itself what to do (an operation that would otherwise
// read or write outside its images returns without touching them). The
// driver routes the hook to the kernel debugger; tests read the counter.
//
// Usage:
//   if (!IMG_ASSERT(dst.dim_x % 2 == 0, "dst.dim_x % 2 == 0")) return;
// The text is given explicitly so that the reported wording is fixed and
// does not depend on how the preprocessor spells the expression.
#pragma once

#include <stdint.h>

namespace img {

// Receives each failed assertion: the condition's text and where it is.
// Called in the context of the failing operation (any IRQL the operation
// runs at), so it must not block.
using assert_handler = void (*)(const char* condition, const char* file, int line);

// Installs the hook (null: count only) and returns the previous one.
assert_handler set_assert_handler(assert_handler handler);

// Failed assertions since the last reset, over all threads.
uint32_t get_assert_failure_count();
void reset_assert_failure_count();

// Counts and reports one failed assertion; always returns false so that it
// can end an IMG_ASSERT expression.
bool assert_failed(const char* condition, const char* file, int line);

// Evaluates `cond` once; true when it holds, otherwise reports `text` and
// gives false.
inline bool assert_check(bool cond, const char* text, const char* file, int line) {
  return cond ? true : assert_failed(text, file, line);
}

}  // namespace img

#define IMG_ASSERT(cond, text) (::img::assert_check(static_cast<bool>(cond), text, __FILE__, __LINE__))
