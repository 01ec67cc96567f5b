// Counts of what a process holds, to prove nothing is left behind.
#ifndef QUELMORA_TESTS_OS_RESOURCES_H
#define QUELMORA_TESTS_OS_RESOURCES_H

#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would bring the old Winsock
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

#include <cstdio>
#include <thread>

namespace test {

#ifdef _WIN32
// A running server holds its socket, and on Windows its thread's handle.
constexpr int handles_per_server = 2;

inline bool running_under_wine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sockets are kernel handles on Windows. -1: not counted here (Wine
// answers 0 for any process).
inline int count_open_handles() {
  DWORD count = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &count) && count > 0
             ? static_cast<int>(count)
             : -1;
}

inline int count_threads_now() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}
#else
inline int count_entries(const char* directory) {
  int count = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

constexpr int handles_per_server = 1;

inline bool running_under_wine() { return false; }
inline int count_open_handles() { return count_entries("/proc/self/fd"); }
inline int count_threads_now() { return count_entries("/proc/self/task"); }
#endif

// A runtime may start a helper thread of its own at the first thread
// creation (ThreadSanitizer does): have that happen before counting.
inline int count_threads() {
  static const bool runtime_settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)runtime_settled;
  return count_threads_now();
}

// Compares open handles with an earlier count, or says plainly that it cannot.
#define EXPECT_OPEN_HANDLES(expected)                                              \
  do {                                                                             \
    const int expected_handles = (expected);                                       \
    if (expected_handles < 0) {                                                    \
      std::printf("note: open handles not checked: this system does not count them\n"); \
    } else {                                                                       \
      EXPECT_EQ(test::count_open_handles(), expected_handles);                     \
    }                                                                              \
  } while (0)

}  // namespace test

#endif  // QUELMORA_TESTS_OS_RESOURCES_H
