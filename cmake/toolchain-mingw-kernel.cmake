# Cross build of the driver as a 64-bit Windows kernel driver with the
# mingw-w64 compiler, the Windows kernel headers it ships (ddk/) and its import
# libraries for ntoskrnl.exe, hal.dll, ks.sys and usbd.sys.
#
# Code generation for kernel mode:
# - no exceptions, no RTTI, no thread-safe statics (no C++ runtime exists);
# - no stack protector: its cookie and check functions live in the C runtime;
# - stack probes stay on: a frame larger than a page calls ___chkstk_ms, which
#   driver_src/kernel/win_runtime provides, so a deep frame touches the kernel stack's
#   guard page instead of jumping past it;
# - unwind tables stay on: x64 Windows walks kernel stacks (bug checks,
#   debugger, SEH) through .pdata/.xdata;
# - no -ffreestanding: the compiler may still expand memcpy/memset inline, and
#   whatever it calls instead must resolve against the kernel import libraries
#   (ntoskrnl.exe exports memcpy, memset, memmove and memcmp) because the
#   link uses nothing else; a C runtime function fails the link;
# - -mno-red-zone is the Windows x64 convention anyway and states it.
# The oldest kernel the headers may expose is Windows 7 (NTDDI 0x06010000):
# a call to something newer does not compile.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TV_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TV_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TV_MINGW_PREFIX}-windres)
set(CMAKE_AR ${TV_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TV_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TV_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The kernel headers: ddk/ (ntddk.h, wdm.h, usbdlib.h, usbbusif.h) ahead of
# the compiler's own include directory, which holds ks.h, ksmedia.h, usb.h,
# usbdi.h and usbioctl.h.
set(TV_KERNEL_INCLUDE_DIRS /usr/share/mingw-w64/include/ddk
  CACHE STRING "Windows kernel header directories searched before the compiler's own")

# Kernel-mode code generation (see above) and the target defines: x64, and
# the oldest supported kernel.
set(TV_KERNEL_FLAGS
  "-mno-red-zone -fno-stack-protector -fno-stack-check -D_AMD64_ -D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DNTDDI_VERSION=0x06010000")
set(CMAKE_C_FLAGS_INIT "${TV_KERNEL_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TV_KERNEL_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics")

# No user-mode libraries may be linked by default (CMake's Windows-GNU
# default links kernel32, user32 and friends into every target).
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
