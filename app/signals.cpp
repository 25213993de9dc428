#include "app/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/run_state.h"
#include "core/task_table.h"

namespace {

// Async-signal-safe output: a fixed buffer, hexadecimal and decimal by hand.
class SafeWriter {
 public:
  explicit SafeWriter(int fd) : fd_(fd) {}
  ~SafeWriter() { flush(); }
  SafeWriter& text(const char* s) {
    while (*s) put(*s++);
    return *this;
  }
  SafeWriter& hex(uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) put("0123456789abcdef"[(value >> shift) & 0xF]);
    return *this;
  }
  SafeWriter& dec(long value) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long magnitude = negative ? 0ul - static_cast<unsigned long>(value) : value;
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (negative) put('-');
    while (n) put(digits[--n]);
    return *this;
  }
  void flush() {
    size_t done = 0;
    while (done < used_) {
      const ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }

 private:
  void put(char c) {
    if (used_ == sizeof buffer_) flush();
    buffer_[used_++] = c;
  }
  int fd_;
  char buffer_[512];
  size_t used_ = 0;
};

constexpr int kWordDigits = sizeof(void*) * 2;

struct RegisterName {
  const char* name;  // padded to ten characters
  int index;
};

#if defined(__x86_64__)
constexpr RegisterName kRegisters[] = {
    {"trap_no   ", REG_TRAPNO}, {"error_code", REG_ERR}, {"oldmask   ", REG_OLDMASK},
    {"rax       ", REG_RAX},    {"rbx       ", REG_RBX}, {"rcx       ", REG_RCX},
    {"rdx       ", REG_RDX},    {"rsi       ", REG_RSI}, {"rdi       ", REG_RDI},
    {"rbp       ", REG_RBP},    {"rsp       ", REG_RSP}, {"r8        ", REG_R8},
    {"r9        ", REG_R9},     {"r10       ", REG_R10}, {"r11       ", REG_R11},
    {"r12       ", REG_R12},    {"r13       ", REG_R13}, {"r14       ", REG_R14},
    {"r15       ", REG_R15},    {"rip       ", REG_RIP}, {"eflags    ", REG_EFL},
    {"fault_addr", REG_CR2},
};

uint64_t registerValue(const ucontext_t* uc, int index) {
  if (index == REG_OLDMASK) return uc->uc_sigmask.__val[0];
  return static_cast<uint64_t>(uc->uc_mcontext.gregs[index]);
}
uintptr_t stackPointer(const ucontext_t* uc) { return uc->uc_mcontext.gregs[REG_RSP]; }
#elif defined(__arm__)
constexpr RegisterName kRegisters[] = {
    {"trap_no   ", 0},  {"error_code", 1},  {"oldmask   ", 2},  {"arm_r0    ", 3},
    {"arm_r1    ", 4},  {"arm_r2    ", 5},  {"arm_r3    ", 6},  {"arm_r4    ", 7},
    {"arm_r5    ", 8},  {"arm_r6    ", 9},  {"arm_r7    ", 10}, {"arm_r8    ", 11},
    {"arm_r9    ", 12}, {"arm_r10   ", 13}, {"arm_fp    ", 14}, {"arm_ip    ", 15},
    {"arm_sp    ", 16}, {"arm_lr    ", 17}, {"arm_pc    ", 18}, {"arm_cpsr  ", 19},
    {"fault_addr", 20},
};
// The ARM signal context is 21 consecutive words starting at trap_no.
uint64_t registerValue(const ucontext_t* uc, int index) {
  return reinterpret_cast<const unsigned long*>(&uc->uc_mcontext.trap_no)[index];
}
uintptr_t stackPointer(const ucontext_t* uc) { return uc->uc_mcontext.arm_sp; }
#else
constexpr RegisterName kRegisters[] = {{"none      ", 0}};
uint64_t registerValue(const ucontext_t*, int) { return 0; }
uintptr_t stackPointer(const ucontext_t*) { return 0; }
#endif

// 128 words from the interrupted stack pointer. They cross other frames'
// guard zones, which the address sanitizer must not take for an error.
__attribute__((no_sanitize("address"))) void writeStackWords(SafeWriter& out, const uintptr_t* sp) {
  for (int i = 0; sp && i < 128; ++i) {
    if (i % static_cast<int>(16 / sizeof(uintptr_t)) == 0) {
      out.text("\n").hex(reinterpret_cast<uintptr_t>(sp + i), kWordDigits).text(": ");
    }
    out.hex(sp[i], kWordDigits).text(" ");
  }
}

void onFatalSignal(int sig, siginfo_t* info, void* context) {
  writeFatalDump(STDOUT_FILENO, sig, info ? info->si_errno : 0, info ? info->si_code : 0,
                 info ? info->si_addr : nullptr, context);
  // End with the signal's own status: the start script must see a crash,
  // not a normal end.
  signal(sig, SIG_DFL);
  raise(sig);
  _exit(128 + sig);
}

void onStopSignal(int sig) {
  const int savedErrno = errno;
  if (sig == SIGINT || sig == SIGTERM) runState().noteStopSignal(sig == SIGINT);
  SafeWriter(STDERR_FILENO)
      .text("sigXXX(")
      .dec(sig)
      .text(") <")
      .text(currentTaskName())
      .text("> shutdowns:")
      .dec(runState().shutdowns.load())
      .text(" sigInts:")
      .dec(runState().sigInts.load())
      .text("\n");
  errno = savedErrno;
}

struct FatalSignal {
  int number;
  const char* failure;
};
constexpr FatalSignal kFatalSignals[] = {
    {SIGSEGV, "SIGSEGV fail to install"}, {SIGILL, "SIGILL fail to install"},
    {SIGABRT, "SIGABRT fail to install"}, {SIGFPE, "SIGFPE fail to install"},
    {SIGBUS, "SIGBUS fail to install"},   {SIGSYS, "SIGSYS fail to install"},
    {SIGXCPU, "SIGXCPU fail to install"}, {SIGXFSZ, "SIGXFSZ fail to install"},
};

}  // namespace

void writeFatalDump(int fd, int sig, int errnoValue, int code, const void* faultAddress,
                    const void* context) {
  SafeWriter out(fd);
  out.text("Signal ").dec(sig).text(", errno ").dec(errnoValue).text(", code ").dec(code);
  out.text(", addr ").hex(reinterpret_cast<uintptr_t>(faultAddress), kWordDigits).text("\n");
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc) {
    for (const RegisterName& r : kRegisters) {
      out.text(r.name).text("=").hex(registerValue(uc, r.index), kWordDigits).text("\n");
    }
    out.text("\nStack: \n");
    writeStackWords(out, reinterpret_cast<const uintptr_t*>(stackPointer(uc)));
    out.text("\n");
  }
  out.flush();
  const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char piece[255];
  ssize_t n;
  while ((n = ::read(maps, piece, sizeof piece)) > 0) {
    if (::write(fd, piece, static_cast<size_t>(n)) != n) break;
  }
  ::close(maps);
}

bool installSignalHandlers() {
  static char alternateStack[64 * 1024];
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, nullptr);

  struct sigaction fatal{};
  fatal.sa_sigaction = onFatalSignal;
  fatal.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&fatal.sa_mask);
  for (const FatalSignal& s : kFatalSignals) {
    if (sigaction(s.number, &fatal, nullptr) != 0) {
      std::perror(s.failure);
      return false;
    }
  }
  struct sigaction stop{};
  stop.sa_handler = onStopSignal;
  stop.sa_flags = SA_RESTART;
  sigemptyset(&stop.sa_mask);
  if (sigaction(SIGTERM, &stop, nullptr) != 0) {
    std::perror("SIGTERM fail to install");
    return false;
  }
  return true;
}

void installStopHandlers() {
  struct sigaction stop{};
  stop.sa_handler = onStopSignal;
  stop.sa_flags = SA_RESTART;
  sigemptyset(&stop.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE}) sigaction(sig, &stop, nullptr);
}
