// Stack probe for frames larger than a page, for the Windows kernel build.
//
// The compiler calls ___chkstk_ms in the prologue of a function whose frame
// exceeds 4 KiB, with the frame size in rax, before it lowers rsp by that
// amount. The probe touches one address in every page of the new frame from
// the top down, so that a frame running off the kernel stack faults on the
// guard page below it instead of silently writing past it. Every register
// but the flags is preserved. The unwind directives describe the two pushes,
// so the probe's frame can be walked when the guard page fault is analysed.
asm(R"(
  .text
  .p2align 4
  .globl ___chkstk_ms
  .def ___chkstk_ms; .scl 2; .type 32; .endef
  .seh_proc ___chkstk_ms
___chkstk_ms:
  pushq %rcx
  .seh_pushreg %rcx
  pushq %rax
  .seh_pushreg %rax
  .seh_endprologue
  leaq 24(%rsp), %rcx        # the caller's rsp before its call
  negq %rax
  addq %rcx, %rax            # rax: lowest address of the new frame
1:
  subq $0x1000, %rcx
  cmpq %rax, %rcx
  jbe 2f
  orq $0, (%rcx)             # one touch per page, top down
  jmp 1b
2:
  orq $0, (%rax)
  popq %rax
  popq %rcx
  ret
  .seh_endproc
)");
