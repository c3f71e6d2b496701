// The stack protector's guard and failure routine, in place of libssp's.
// libssp seeds its guard with CryptAcquireContextA/CryptGenRandom, which
// loads the cryptographic provider and the DLLs it pulls in (user32, gdi32,
// crypt32, rsaenh, ...) into every start of the launcher. This seed needs
// only KERNEL32 calls the launcher's process has already made its own.
//
// Linked into each executable as an object of its own, with no
// -fstack-protector flag at the link: without this file the link fails,
// rather than falling back to libssp.
#include <windows.h>

#include <cstdint>

extern "C" {

// Read by the prologue and epilogue of every protected function. A fixed
// value until seed_stack_guard runs; set once, before main.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
uintptr_t __stack_chk_guard = 0x2B992DDFA232ULL;  // NOLINT(readability-magic-numbers)

// Called by a protected function whose guard copy was overwritten: its frame
// is damaged, so nothing may unwind through it or run in it. Ends the
// process at once, as Windows programs do, with no message and no handler.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
[[noreturn]] void __stack_chk_fail();

}  // extern "C"

namespace {

// splitmix64's finaliser: a bijection, so it keeps all the seed's
// uncertainty, and every output bit depends on every input bit.
// NOLINTBEGIN(readability-magic-numbers): its published constants.
uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}
// NOLINTEND(readability-magic-numbers)

uint64_t join(uint32_t high, uint32_t low) {
  return static_cast<uint64_t>(high) << 32U | low;  // NOLINT(readability-magic-numbers)
}

// What differs from one process to the next, mixed the way the /GS cookie
// of Microsoft's runtime is: the time in 100 ns steps, the process and
// thread ids, the tick count and the performance counter; and, with ASLR,
// where the stack and the image were placed. None of these loads a DLL.
// Unprotected itself (it takes a local's address, which would make it a
// protected function). Run as the first constructor, so before any
// protected frame of the launcher's is entered: the constructors run from
// __main, which GCC and clang call at the start of main before main stores
// its own copy of the guard. Code that runs earlier still (the runtime's
// start-up, TLS callbacks) is not built with canaries.
__attribute__((no_stack_protector, constructor(101))) void seed_stack_guard() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = join(time.dwHighDateTime, time.dwLowDateTime);
  seed = mix(seed ^ join(GetCurrentProcessId(), GetCurrentThreadId()));
  seed = mix(seed ^ GetTickCount64());
  seed = mix(seed ^ static_cast<uint64_t>(counter.QuadPart));
  seed = mix(seed ^ reinterpret_cast<uintptr_t>(&counter));
  seed = mix(seed ^ reinterpret_cast<uintptr_t>(&__stack_chk_guard));
  // A zero low byte, as glibc's guard has: a string function that runs
  // over a buffer stops at it, so it can neither copy the guard out nor
  // write it back.
  constexpr uint64_t kLowByte = 0xFF;
  __stack_chk_guard = static_cast<uintptr_t>(seed & ~kLowByte);
}

}  // namespace

void __stack_chk_fail() {
  // Windows 8 and later end the process in the kernel, without running a
  // handler: the fast-fail interrupt with the stack-cookie code. Before
  // that, the status of a stack buffer overrun, as the /GS check gives.
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    __asm__ __volatile__("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
  }
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}
