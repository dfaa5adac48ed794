/* Preloaded into the i386 Wine that qemu-user runs (QEMU_SET_ENV=LD_PRELOAD=...).
   qemu leaves the trap number in a signal's machine context at -1, and Wine
   tells a page fault, a division by zero and an overflow apart by it: every
   access violation would reach Windows code as an illegal instruction and
   every integer division by zero as a floating-point fault. The shim wraps
   the handlers Wine installs for SIGSEGV and SIGFPE and sets the trap number
   (and, for a page fault, the error code's present bit) the processor would
   have set, from the signal's si_code, before Wine's handler runs.
   No headers, no C library: gcc -m32 -O2 -fPIC -shared -nostdlib
   -fno-stack-protector. The layouts are glibc's for i386. */

typedef void (*Handler)(int, void *, void *);

/* struct sigaction: handler, 1024-bit mask, flags, restorer */
struct Action {
  Handler handler;
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};

enum {
  kSigFpe = 8,
  kSigSegv = 11,
  kSaSiginfo = 4,
  kSegvMapErr = 1,
  kSegvAccErr = 2,
  kFpeIntDiv = 1,
  kFpeIntOvf = 2,
  kTrapDivide = 0,
  kTrapOverflow = 4,
  kTrapPageFault = 14,
  kRegTrapNo = 12, /* in the general registers of the machine context */
  kRegErr = 13,
  kGregsOffset = 20 /* ucontext: flags, link, stack (3 words) */
};

extern void *dlsym(void *, const char *);

static Handler wine_segv, wine_fpe;
static int (*real_sigaction)(int, const struct Action *, struct Action *);

static int *Registers(void *context) { return (int *)((char *)context + kGregsOffset); }
static int SignalCode(void *info) { return ((int *)info)[2]; }
static int Unset(int trap) { return trap == -1 || trap == 0; }

static void OnSegv(int signal, void *info, void *context) {
  int *registers = Registers(context);
  const int code = SignalCode(info);
  if ((code == kSegvMapErr || code == kSegvAccErr) && Unset(registers[kRegTrapNo])) {
    registers[kRegTrapNo] = kTrapPageFault;
    registers[kRegErr] = code == kSegvAccErr ? 1 : 0; /* present; read or write is not known */
  }
  wine_segv(signal, info, context);
}

static void OnFpe(int signal, void *info, void *context) {
  int *registers = Registers(context);
  const int code = SignalCode(info);
  if (registers[kRegTrapNo] == -1) {
    if (code == kFpeIntDiv) registers[kRegTrapNo] = kTrapDivide;
    if (code == kFpeIntOvf) registers[kRegTrapNo] = kTrapOverflow;
  }
  wine_fpe(signal, info, context);
}

int sigaction(int signal, const struct Action *action, struct Action *old) {
  if (!real_sigaction) {
    real_sigaction = (int (*)(int, const struct Action *, struct Action *))dlsym((void *)-1 /* RTLD_NEXT */,
                                                                                  "sigaction");
  }
  if (action && (action->flags & kSaSiginfo) && (signal == kSigSegv || signal == kSigFpe)) {
    const Handler wrapper = signal == kSigSegv ? OnSegv : OnFpe;
    if (action->handler != wrapper) {
      struct Action copy = *action;
      if (signal == kSigSegv) {
        wine_segv = action->handler;
      } else {
        wine_fpe = action->handler;
      }
      copy.handler = wrapper;
      return real_sigaction(signal, &copy, old);
    }
  }
  return real_sigaction(signal, action, old);
}
