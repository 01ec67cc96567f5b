// Counts of what a process holds, to prove nothing is left behind.
#ifndef QUELMORA_TESTS_OS_RESOURCES_H
#define QUELMORA_TESTS_OS_RESOURCES_H

#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would bring the old Winsock
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace test {

// How long a joined thread may take to leave the process's thread list.
constexpr auto thread_exit_bound = std::chrono::seconds(2);

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

inline void run_and_join_a_thread() { std::thread([] {}).join(); }
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

// Returns once the thread is gone from /proc too, not merely joined.
inline void run_and_join_a_thread() {
  pid_t helper = 0;
  std::thread([&helper] { helper = ::gettid(); }).join();
  const std::string entry = "/proc/self/task/" + std::to_string(helper);
  const auto deadline = std::chrono::steady_clock::now() + thread_exit_bound;
  while (::access(entry.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
#endif

// A joined thread is still listed for a moment while the kernel finishes
// its exit: counts are read once that moment has passed.
inline int count_threads_when_at(int expected) {
  const auto deadline = std::chrono::steady_clock::now() + thread_exit_bound;
  int count = count_threads_now();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = count_threads_now();
  }
  return count;
}

// A runtime may start a helper thread of its own at the first thread
// creation (ThreadSanitizer does): have that happen, and the thread that
// caused it be gone from the list, before counting.
inline int count_threads() {
  static const bool runtime_settled = [] {
    run_and_join_a_thread();
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
