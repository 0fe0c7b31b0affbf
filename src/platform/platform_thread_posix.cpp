// platform_thread_posix.cpp - the second thread that decodes members ahead, and reads at an offset, on POSIX.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

pthread_t g_worker;
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_signal = PTHREAD_COND_INITIALIZER;

struct Work {
  void (*run)(void*);
  void* context;
};
Work g_work;

void* run_work(void*) {
  g_work.run(g_work.context);
  return nullptr;
}

}  // namespace

bool platform_start_worker(void (*work)(void*), void* context) {
  g_work = Work{work, context};
  // The signals stay with this thread: their handlers restore the terminal
  // and pass them on to a program being run, which is this thread's work.
  sigset_t every_signal, kept;
  sigfillset(&every_signal);
  pthread_sigmask(SIG_SETMASK, &every_signal, &kept);
  bool started = pthread_create(&g_worker, nullptr, run_work, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &kept, nullptr);
  return started;
}

void platform_join_worker() { pthread_join(g_worker, nullptr); }

void platform_worker_lock() { pthread_mutex_lock(&g_lock); }

void platform_worker_unlock() { pthread_mutex_unlock(&g_lock); }

void platform_worker_wait() { pthread_cond_wait(&g_signal, &g_lock); }

void platform_worker_wake() { pthread_cond_broadcast(&g_signal); }

std::size_t platform_read_at(FILE* stream, std::uint64_t offset, void* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t read_now =
        pread(fileno(stream), static_cast<char*>(buffer) + got, size - got, static_cast<off_t>(offset + got));
    if (read_now <= 0) break;
    got += static_cast<std::size_t>(read_now);
  }
  return got;
}
