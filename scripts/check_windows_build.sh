#!/usr/bin/env bash
# Builds the driver as a Windows kernel driver (preset "windows") and checks
# the image:
#   - native subsystem (1), base relocations not stripped;
#   - imports only from ntoskrnl.exe, hal.dll, ks.sys and usbd.sys;
#   - every imported function or variable is defined by the host stand-in
#     (libplatform.a), so the stand-in never lags behind what the driver
#     really calls; memcpy, memmove, memset and memcmp, which the compiler
#     emits on its own, come from the host C library there;
#   - every imported function or variable has the same type in the
#     stand-in's headers as in the real kernel headers (compared as the
#     compiler spells the types, with Windows' 32-bit long read as int);
#   - no static constructors or destructors and no C runtime or TLS data,
#     neither in the image nor in any object linked into it;
#   - AVX and AVX-512 only in the AVX units, reachable only through the
#     guarded entry: kernel code may use the SSE registers freely, but the
#     AVX and AVX-512 state only between KeSaveExtendedProcessorState and
#     KeRestoreExtendedProcessorState. VEX- and EVEX-encoded instructions (any
#     use of a YMM, ZMM or opmask register, or of an XMM register in VEX or
#     EVEX form) appear only in the image library's AVX units (*_avx2.cpp,
#     *_avx512.cpp), which hold no aligned 32- or 64-byte memory moves (the
#     kernel stack is aligned to 16 bytes); no driver object calls into an
#     AVX unit; and only the guarded entry (driver_src/kernel/extended_state.cpp),
#     which saves and restores the state, gives the library the words that
#     let it select those units (img::allow_avx, img::allow_avx512).
# Prints the imported kernel functions. Exits non-zero on the first failed
# build and after reporting every failed check.
#
#   scripts/check_windows_build.sh              self-test, then build and check
#   scripts/check_windows_build.sh --self-test  only the self-test
#
# The self-test links tiny driver images that break one rule each (a
# kernel32 import, a kernel import the stand-in lacks, a static constructor,
# an AVX or an AVX-512 instruction outside an AVX unit, an aligned 32- or
# 64-byte move in one, a driver object calling an AVX unit, the library's
# AVX or AVX-512 word given outside the guarded entry) and one that breaks
# none (with an AVX2 and an AVX-512 unit behind a guarded entry), compares declarations that differ and ones that differ
# only in the spelling of a 32-bit long, and shows that the checks tell them
# apart.
#
# TV_HOST_BUILD_DIR selects the host build whose platform/libplatform.a is the
# stand-in (default build/debug; built here when missing or stale).
set -euo pipefail
cd "$(dirname "$0")/.."

PREFIX=x86_64-w64-mingw32
OBJDUMP=$PREFIX-objdump
ALLOWED_MODULES="ntoskrnl.exe hal.dll ks.sys usbd.sys"
COMPILER_BLOCK_FUNCTIONS="memcpy memmove memset memcmp"
# Sections that carry static constructors/destructors, C runtime hooks or
# thread-local data; none may have content in the driver.
FORBIDDEN_SECTIONS_RE='^\.(ctors|dtors|init_array|fini_array|CRT|tls)'
HOST_BUILD_DIR="${TV_HOST_BUILD_DIR:-build/debug}"
# The AVX rule: the image library's archive, its AVX units, the driver's
# guarded entry and the symbols through which the library is told that the
# AVX or AVX-512 state is saved (img::allow_avx, img::allow_avx512).
LIBRARY_ARCHIVE_RE='(^|/)libdutils_image[.]a$'
AVX_UNIT_RE='_avx(2|512)[.](cpp[.])?(obj|o)$'
GUARDED_ENTRY_RE='(^|[/:])extended_state[.](cpp[.])?(obj|o)$'
AVX_WORD_SYMBOLS_RE='^(_ZN3img9allow_avxEj|_ZN3img12allow_avx512Ej)$'

fail_count=0
fail() {
  echo "check_windows_build: FAIL: $*" >&2
  fail_count=$((fail_count + 1))
}

# imports <image>: "module function" per imported symbol.
imports() {
  "$OBJDUMP" -p "$1" | awk '
    /^[ \t]*DLL Name:/ { module = $3; next }
    module != "" && /^[ \t]*$/ { module = ""; next }
    module != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print tolower(module), $3 }'
}

# stand_in_symbols <libplatform.a>: the names the stand-in defines, one a line.
stand_in_symbols() {
  nm --defined-only -g "$1" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDRBVW]$/ { print $3 }' | sort -u
}

# check_image <image> <stand-in library> [objects linked into the image...]
check_image() {
  local image="$1" stand_in="$2"
  shift 2
  local before=$fail_count

  local header
  header="$("$OBJDUMP" -p "$image")"
  local subsystem
  subsystem="$(awk '$1 == "Subsystem" { print $2 + 0 }' <<<"$header")"
  [ "$subsystem" = "1" ] || fail "$image: subsystem $subsystem, not 1 (native)"
  if grep -q "relocations stripped" <<<"$header"; then
    fail "$image: base relocations stripped; the kernel could not load it at another address"
  fi

  local list
  list="$(imports "$image")"
  local module function
  while read -r module function; do
    [ -n "$module" ] || continue
    case " $ALLOWED_MODULES " in
      *" $module "*) ;;
      *) fail "$image imports $function from $module, which is not a kernel module" ;;
    esac
  done <<<"$list"

  local defined
  defined="$(stand_in_symbols "$stand_in")"
  while read -r module function; do
    [ -n "$function" ] || continue
    case " $COMPILER_BLOCK_FUNCTIONS " in *" $function "*) continue ;; esac
    case " $ALLOWED_MODULES " in *" $module "*) ;; *) continue ;; esac
    if ! grep -qxF "$function" <<<"$defined"; then
      fail "$image imports $function ($module), which the host stand-in ($stand_in) does not define"
    fi
  done <<<"$list"

  # Sections with content, as "file: section" (the image's own, then those of
  # every object linked into it: the linker folds .ctors into .text, so the
  # image alone would not show a static constructor).
  local found
  found="$("$OBJDUMP" -h "$image" "$@" 2>/dev/null | awk -v re="$FORBIDDEN_SECTIONS_RE" '
    /file format/ { file = $1; sub(/:$/, "", file) }
    $1 ~ /^[0-9]+$/ && $2 ~ re && $3 !~ /^0+$/ { print file ": " $2 }')"
  local line
  while read -r line; do
    if [ -n "$line" ]; then fail "static constructor, destructor, C runtime or TLS data in $line"; fi
  done <<<"$found"

  check_avx "$@"

  [ "$fail_count" -eq "$before" ]
}

# vex_instructions <object or archive>...: "object<TAB>instruction" for every
# VEX- or EVEX-encoded instruction (AVX, AVX-512 and later: a v-mnemonic on
# vector registers, or any opmask register) as objdump prints them; archive
# members are named archive:member.
vex_instructions() {
  local f
  for f in "$@"; do
    "$OBJDUMP" -d "$f" 2>/dev/null | awk -F '\t' -v file="$f" '
      /^In archive / { archive = 1 }
      /file format/ { obj = $1; sub(/:[ ]+file format.*/, "", obj); obj = archive ? file ":" obj : file }
      $3 ~ /^v[a-z0-9]+[ ]+.*%[xyz]mm|^vzero(upper|all)|%k[0-7]/ { print obj "\t" $3 }'
  done
}

# object_symbols <object or archive>...: "object kind symbol" per symbol, kind
# U for a reference, T, D, B.. for a definition.
object_symbols() {
  "$PREFIX-nm" -A "$@" 2>/dev/null | awk '{
    sep = index($0, " "); head = substr($0, 1, sep - 1); rest = substr($0, sep)
    n = split(head, parts, ":"); obj = parts[1]
    for (i = 2; i < n; ++i) obj = obj ":" parts[i]
    if (parts[n] != "") rest = parts[n] rest
    m = split(rest, f, " ")
    if (m == 2) print obj, f[1], f[2]; else if (m >= 3) print obj, f[2], f[3] }'
}

# check_avx <objects and archives linked into the image>...
check_avx() {
  local vex outside aligned
  vex="$(vex_instructions "$@")"
  outside="$(awk -F '\t' -v re="$AVX_UNIT_RE" '$1 !~ re' <<<"$vex" | head -3)"
  if [ -n "$outside" ]; then
    fail "AVX or AVX-512 instructions outside the AVX units (*_avx2.cpp, *_avx512.cpp), e.g.:"$'\n'"$outside"
  fi
  aligned="$(awk -F '\t' -v re="$AVX_UNIT_RE" '
    $1 ~ re && $2 ~ /^vmov(aps|apd|dqa|dqa32|dqa64)[ ].*%[yz]mm/ && $2 ~ /\(/' <<<"$vex" | head -3)"
  if [ -n "$aligned" ]; then
    fail "aligned 32- or 64-byte memory moves in an AVX unit (the kernel stack is aligned to 16 bytes only), e.g.:"$'\n'"$aligned"
  fi
  local symbols
  symbols="$(object_symbols "$@")"
  local found
  found="$(awk -v unit="$AVX_UNIT_RE" -v lib="$LIBRARY_ARCHIVE_RE" -v guard="$GUARDED_ENTRY_RE" -v word="$AVX_WORD_SYMBOLS_RE" '
    function archive(o) { sub(/:[^:]*$/, "", o); return o }
    $2 != "U" && $1 ~ unit { avx[$3] = 1 }
    $2 == "U" { ref[NR] = $0; refobj[NR] = $1; refsym[NR] = $3 }
    $2 == "U" && $3 ~ /^(__imp_)?KeSaveExtendedProcessorState$/ { saves[$1] = 1 }
    $2 == "U" && $3 ~ /^(__imp_)?KeRestoreExtendedProcessorState$/ { restores[$1] = 1 }
    END {
      for (i in ref) {
        o = refobj[i]; s = refsym[i]
        in_library = archive(o) ~ lib
        if (!in_library && (s in avx)) print "direct\t" o "\t" s
        if (!in_library && s ~ word && o !~ guard) print "word\t" o "\t" s
        if (!in_library && s ~ word && o ~ guard && !((o in saves) && (o in restores))) print "unsaved\t" o
      }
    }' <<<"$symbols" | sort -u)"
  local kind obj sym
  while IFS=$'\t' read -r kind obj sym; do
    case $kind in
      direct) fail "$obj calls into an AVX unit ($sym); only the image library's selection may" ;;
      word) fail "$obj tells the image library that the AVX or AVX-512 state is saved ($sym); only the guarded entry (extended_state) may" ;;
      unsaved) fail "$obj allows AVX or AVX-512 without calling KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState" ;;
    esac
  done <<<"$found"
}

# Compiler settings of the two builds for the declaration comparison (the
# Windows ones as in cmake/toolchain-mingw-kernel.cmake).
HOST_CXX=(g++ -std=c++17 -fshort-wchar)
WIN_CXX=("$PREFIX-g++" -std=c++17 -D_AMD64_ -D_WIN32_WINNT=0x0601 -DWINVER=0x0601
         -DNTDDI_VERSION=0x06010000)

# signatures <work dir> <tag> <header> <compiler and flags...> < names:
# "name(type of &name)" per name, as the compiler spells the type.
signatures() {
  local dir="$1" tag="$2" header="$3"
  shift 3
  local name
  {
    echo "#include \"$header\""
    while read -r name; do
      if [ -n "$name" ]; then echo "void tv_signature_$name(decltype(&$name)) {}"; fi
    done
  } >"$dir/signatures_$tag.cpp"
  "$@" -c "$dir/signatures_$tag.cpp" -o "$dir/signatures_$tag.o" || return 1
  nm "$dir/signatures_$tag.o" | awk '$2 == "T" && $3 ~ /tv_signature_/ { print $3 }' | c++filt |
    sed -e 's/^tv_signature_//'
}

# check_signatures <header> <host flags> <Windows flags> < names: every name
# declared with the same type by the stand-in and the real headers. Windows'
# long is 32 bits, so there "long" reads as "int" ("long long" stays).
check_signatures() {
  local header="$1" host_flags="$2" win_flags="$3"
  local dir names host win
  dir="$(mktemp -d)"
  names="$(cat)"
  # shellcheck disable=SC2086
  if ! host="$(signatures "$dir" host "$header" "${HOST_CXX[@]}" $host_flags <<<"$names")"; then
    fail "the stand-in's headers do not declare every imported name (compiler output above)"
    rm -rf "$dir"
    return 0
  fi
  # shellcheck disable=SC2086
  if ! win="$(signatures "$dir" win "$header" "${WIN_CXX[@]}" $win_flags <<<"$names")"; then
    fail "the kernel headers do not declare every imported name (compiler output above)"
    rm -rf "$dir"
    return 0
  fi
  win="$(sed -e 's/long long/LONG_LONG/g' -e 's/\blong\b/int/g' -e 's/LONG_LONG/long long/g' <<<"$win")"
  rm -rf "$dir"
  local name h w
  while read -r name; do
    [ -n "$name" ] || continue
    h="$(awk -v n="$name(" 'index($0, n) == 1 { print; exit }' <<<"$host")"
    w="$(awk -v n="$name(" 'index($0, n) == 1 { print; exit }' <<<"$win")"
    if [ "$h" != "$w" ]; then
      fail "$name is declared differently: stand-in ${h#"$name"}, kernel headers ${w#"$name"}"
    fi
  done <<<"$names"
  return 0
}

print_imports() {
  echo "Imported kernel functions of $1:"
  imports "$1" | sort | awk '{ printf "  %-14s %s\n", $1, $2 }'
}

# ---- self-test ------------------------------------------------------------

self_test() {
  local dir
  dir="$(mktemp -d)"
  trap 'rm -rf "$dir"' RETURN
  local cc=$PREFIX-gcc
  # shellcheck disable=SC2054  # commas belong to the linker options
  local link=(-nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry
              -Wl,--exclude-all-symbols -Wl,--disable-auto-import
              -Wl,--disable-runtime-pseudo-reloc)

  # A stand-in that defines exactly the kernel functions the good image uses.
  cat >"$dir/stand_in.c" <<'EOF'
void KeBugCheckEx(void) {}
void KeSaveExtendedProcessorState(void) {}
void KeRestoreExtendedProcessorState(void) {}
void* PsThreadType;
EOF
  gcc -c "$dir/stand_in.c" -o "$dir/stand_in.o"
  ar rcs "$dir/libstand_in.a" "$dir/stand_in.o"

  # The good image: a driver object, a guarded entry that saves the AVX-512
  # (or else the AVX) state and gives the library its word, and a library
  # with an AVX2 and an AVX-512 unit that only the library's selection calls.
  cat >"$dir/good.c" <<'EOF'
typedef long NTSTATUS;
volatile double scale = 1.5;
__declspec(dllimport) void KeBugCheckEx(unsigned long, unsigned long long, unsigned long long,
                                        unsigned long long, unsigned long long);
__declspec(dllimport) extern void* PsThreadType;
void* volatile sink;
void guarded_entry(void* data);
NTSTATUS DriverEntry(void* driver, void* path) {
  sink = PsThreadType;
  if (driver == 0 || scale * 2.0 > 4.0) KeBugCheckEx(1, 0, 0, 0, 0);  /* SSE is fine */
  guarded_entry(driver);
  return 0;
}
EOF
  cat >"$dir/extended_state.c" <<'EOF'
typedef struct { char bytes[56]; } XSTATE_SAVE;
__declspec(dllimport) long KeSaveExtendedProcessorState(unsigned long long, XSTATE_SAVE*);
__declspec(dllimport) void KeRestoreExtendedProcessorState(XSTATE_SAVE*);
unsigned _ZN3img9allow_avxEj(unsigned features);
unsigned _ZN3img12allow_avx512Ej(unsigned features);
void library_select(void* data, unsigned features);
void guarded_entry(void* data) {
  XSTATE_SAVE save;
  if (KeSaveExtendedProcessorState(0xe4, &save) >= 0) {
    library_select(data, _ZN3img12allow_avx512Ej(0));
    KeRestoreExtendedProcessorState(&save);
  } else if (KeSaveExtendedProcessorState(4, &save) >= 0) {
    library_select(data, _ZN3img9allow_avxEj(0));
    KeRestoreExtendedProcessorState(&save);
  }
}
EOF
  cat >"$dir/library.c" <<'EOF'
void twice_avx2(void* data);
void twice_avx512(void* data);
unsigned _ZN3img9allow_avxEj(unsigned features) { return features | 0x10000; }
unsigned _ZN3img12allow_avx512Ej(unsigned features) { return features | 0x30000; }
void library_select(void* data, unsigned features) {
  if (features & 0x20000) twice_avx512(data);
  else if (features & 0x10000) twice_avx2(data);
}
EOF
  cat >"$dir/kernel_avx2.c" <<'EOF'
typedef float v8sf __attribute__((vector_size(32)));
__attribute__((target("avx"))) void twice_avx2(void* data) {
  v8sf* v = (v8sf*)data;
  *v = *v + *v;
}
EOF
  cat >"$dir/kernel_avx512.c" <<'EOF'
typedef int v16si __attribute__((vector_size(64)));
__attribute__((target("avx512f"))) void twice_avx512(void* data) {
  v16si* v = (v16si*)data;
  *v = *v + *v;
}
EOF
  # Broken ones: AVX or AVX-512 (an opmask register alone) in a driver
  # object, an aligned 32- or 64-byte move in an AVX unit, a driver object
  # calling an AVX unit, the library's AVX or AVX-512 word given by a driver
  # object that is not the guarded entry; and the three older rules.
  cat >"$dir/avx.c" <<'EOF'
typedef long NTSTATUS;
typedef float v8sf __attribute__((vector_size(32)));
__attribute__((target("avx"), noinline)) static void twice(v8sf* v) { *v = *v + *v; }
NTSTATUS DriverEntry(void* driver, void* path) { twice((v8sf*)driver); return 0; }
EOF
  cat >"$dir/aligned_avx2.c" <<'EOF'
__attribute__((target("avx"))) void spill_avx2(void* data) {
  __asm__ volatile("vmovaps %%ymm0, (%0)" : : "r"(data) : "memory");
}
EOF
  cat >"$dir/aligned.c" <<'EOF'
typedef long NTSTATUS;
void spill_avx2(void* data);
NTSTATUS DriverEntry(void* driver, void* path) { spill_avx2(driver); return 0; }
EOF
  cat >"$dir/avx512.c" <<'EOF'
typedef long NTSTATUS;
NTSTATUS DriverEntry(void* driver, void* path) {
  unsigned mask;
  __asm__ volatile("kmovw %%k1, %0" : "=r"(mask));
  return driver ? (NTSTATUS)mask : 0;
}
EOF
  cat >"$dir/aligned512_avx512.c" <<'EOF'
__attribute__((target("avx512f"))) void spill_avx512(void* data) {
  __asm__ volatile("vmovdqa64 %%zmm0, (%0)" : : "r"(data) : "memory");
}
EOF
  cat >"$dir/aligned512.c" <<'EOF'
typedef long NTSTATUS;
void spill_avx512(void* data);
NTSTATUS DriverEntry(void* driver, void* path) { spill_avx512(driver); return 0; }
EOF
  cat >"$dir/word512_elsewhere.c" <<'EOF'
typedef long NTSTATUS;
unsigned _ZN3img12allow_avx512Ej(unsigned features);
void library_select(void* data, unsigned features);
NTSTATUS DriverEntry(void* driver, void* path) { library_select(driver, _ZN3img12allow_avx512Ej(0)); return 0; }
EOF
  cat >"$dir/direct.c" <<'EOF'
typedef long NTSTATUS;
void twice_avx2(void* data);
NTSTATUS DriverEntry(void* driver, void* path) { twice_avx2(driver); return 0; }
EOF
  cat >"$dir/word_elsewhere.c" <<'EOF'
typedef long NTSTATUS;
unsigned _ZN3img9allow_avxEj(unsigned features);
void library_select(void* data, unsigned features);
NTSTATUS DriverEntry(void* driver, void* path) { library_select(driver, _ZN3img9allow_avxEj(0)); return 0; }
EOF
  cat >"$dir/user_mode.c" <<'EOF'
typedef long NTSTATUS;
__declspec(dllimport) void* __stdcall CreateFileW(const unsigned short*, unsigned long, unsigned long,
                                                  void*, unsigned long, unsigned long, void*);
NTSTATUS DriverEntry(void* driver, void* path) {
  return CreateFileW(0, 0, 0, 0, 0, 0, 0) == 0 ? 0 : 1;
}
EOF
  cat >"$dir/not_in_stand_in.c" <<'EOF'
typedef long NTSTATUS;
__declspec(dllimport) unsigned long long KeIpiGenericCall(void*, unsigned long long);
NTSTATUS DriverEntry(void* driver, void* path) { return (NTSTATUS)KeIpiGenericCall(0, 0); }
EOF
  cat >"$dir/static_ctor.c" <<'EOF'
typedef long NTSTATUS;
static int initialised;
__attribute__((constructor)) static void init(void) { initialised = 1; }
NTSTATUS DriverEntry(void* driver, void* path) { return initialised ? 0 : 1; }
EOF

  local name
  for name in good extended_state library kernel_avx2 kernel_avx512 avx avx512 aligned_avx2 aligned \
              aligned512_avx512 aligned512 direct word_elsewhere word512_elsewhere user_mode not_in_stand_in \
              static_ctor; do
    "$cc" -O1 -c "$dir/$name.c" -o "$dir/$name.o"
  done
  # Each image: its driver objects in libdriver.a and its library objects in
  # libdutils_image.a (in a directory of its own), linked whole.
  local -A driver_objects=(
    [good]="good extended_state" [avx]="avx" [avx512]="avx512" [aligned]="aligned" [aligned512]="aligned512"
    [direct]="direct" [word_elsewhere]="word_elsewhere" [word512_elsewhere]="word512_elsewhere"
    [user_mode]="user_mode" [not_in_stand_in]="not_in_stand_in" [static_ctor]="static_ctor")
  local -A library_objects=([good]="library kernel_avx2 kernel_avx512" [aligned]="aligned_avx2"
                            [aligned512]="aligned512_avx512" [direct]="library kernel_avx2 kernel_avx512"
                            [word_elsewhere]="library kernel_avx2 kernel_avx512"
                            [word512_elsewhere]="library kernel_avx2 kernel_avx512")
  local image o archives
  for image in "${!driver_objects[@]}"; do
    mkdir -p "$dir/$image"
    archives=()
    for o in ${driver_objects[$image]}; do ar rcs "$dir/$image/libdriver.a" "$dir/$o.o"; done
    archives+=("$dir/$image/libdriver.a")
    if [ -n "${library_objects[$image]:-}" ]; then
      for o in ${library_objects[$image]}; do ar rcs "$dir/$image/libdutils_image.a" "$dir/$o.o"; done
      archives+=("$dir/$image/libdutils_image.a")
    fi
    "$cc" "${link[@]}" -o "$dir/$image.sys" -Wl,--whole-archive "${archives[@]}" -Wl,--no-whole-archive \
      -lntoskrnl -lkernel32
  done

  local ok=1
  local saved=$fail_count
  if ! check_image "$dir/good.sys" "$dir/libstand_in.a" "$dir"/good/*.a 2>"$dir/good.err"; then
    cat "$dir/good.err" >&2
    echo "self-test: a driver that follows every rule was rejected" >&2
    ok=0
  fi
  local expect
  for name in user_mode not_in_stand_in static_ctor avx avx512 aligned aligned512 direct word_elsewhere \
              word512_elsewhere; do
    case $name in
      user_mode) expect="CreateFileW from kernel32.dll" ;;
      not_in_stand_in) expect="KeIpiGenericCall (ntoskrnl.exe), which the host stand-in" ;;
      static_ctor) expect="static constructor" ;;
      avx) expect="AVX or AVX-512 instructions outside the AVX units" ;;
      avx512) expect="%k1,%eax" ;;
      aligned) expect="aligned 32- or 64-byte memory moves in an AVX unit" ;;
      aligned512) expect="vmovdqa64 %zmm0" ;;
      direct) expect="calls into an AVX unit" ;;
      word_elsewhere) expect="(_ZN3img9allow_avxEj); only the guarded entry" ;;
      word512_elsewhere) expect="(_ZN3img12allow_avx512Ej); only the guarded entry" ;;
    esac
    if check_image "$dir/$name.sys" "$dir/libstand_in.a" "$dir/$name"/*.a 2>"$dir/$name.err"; then
      echo "self-test: $name.sys passed the check" >&2
      ok=0
    elif ! grep -qF "$expect" "$dir/$name.err"; then
      cat "$dir/$name.err" >&2
      echo "self-test: $name.sys failed, but not with \"$expect\"" >&2
      ok=0
    fi
  done

  # Declarations: one that differs (a 64-bit parameter on one side), one that
  # differs only in how a 32-bit long is spelt.
  mkdir -p "$dir/host_headers" "$dir/win_headers"
  printf '%s\n' 'extern "C" void KeSame(unsigned int, int*);' \
    'extern "C" void KeDiffers(unsigned int);' >"$dir/host_headers/decls.h"
  printf '%s\n' 'extern "C" void KeSame(unsigned long, long*);' \
    'extern "C" void KeDiffers(unsigned long long);' >"$dir/win_headers/decls.h"
  fail_count=0
  check_signatures decls.h "-I$dir/host_headers" "-I$dir/win_headers" <<<"KeSame" 2>"$dir/same.err"
  if [ "$fail_count" -ne 0 ]; then
    cat "$dir/same.err" >&2
    echo "self-test: declarations that differ only in the spelling of long were rejected" >&2
    ok=0
  fi
  fail_count=0
  check_signatures decls.h "-I$dir/host_headers" "-I$dir/win_headers" <<<"KeDiffers" 2>"$dir/differs.err"
  if [ "$fail_count" -eq 0 ] || ! grep -qF "KeDiffers is declared differently" "$dir/differs.err"; then
    cat "$dir/differs.err" >&2
    echo "self-test: declarations with different parameter types were accepted" >&2
    ok=0
  fi

  fail_count=$saved
  if [ "$ok" -ne 1 ]; then
    echo "check_windows_build: self-test FAILED" >&2
    return 1
  fi
  echo "check_windows_build: self-test passed (one good image accepted, ten broken ones rejected; declarations compared)"
}

# ---- main -------------------------------------------------------------------

self_test
if [ "${1:-}" = "--self-test" ]; then
  exit 0
fi

cmake --preset windows >/dev/null
cmake --build --preset windows

stand_in="$HOST_BUILD_DIR/platform/libplatform.a"
if [ ! -f "$HOST_BUILD_DIR/CMakeCache.txt" ] && [ "$HOST_BUILD_DIR" = build/debug ]; then
  cmake --preset debug >/dev/null
fi
cmake --build "$HOST_BUILD_DIR" --target platform >/dev/null

image=build/windows/driver_src/talvexa_usb.sys
objects=(build/windows/driver_src/libdriver.a build/windows/lib/dutils_image/libdutils_image.a
         build/windows/driver_src/CMakeFiles/talvexa_usb.dir/kernel/win_runtime/*.obj)
print_imports "$image"
check_image "$image" "$stand_in" "${objects[@]}" || true
check_signatures kernel/kernel_api.h "-Idriver_src -Iplatform/include" \
  "-Idriver_src -isystem /usr/share/mingw-w64/include/ddk" \
  < <(imports "$image" | awk '{ print $2 }' | grep -vxE "$(tr ' ' '|' <<<"$COMPILER_BLOCK_FUNCTIONS")" || true)
if [ "$fail_count" -ne 0 ]; then
  echo "check_windows_build: $fail_count check(s) failed for $image" >&2
  exit 1
fi
echo "check_windows_build: $image passed (native, kernel imports only, all in the stand-in and declared alike, no static constructors or CRT data, AVX and AVX-512 only in the AVX units behind the guarded entry)"
