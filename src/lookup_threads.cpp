#include "lookup_threads.hpp"

#include <pthread.h>

#include <csignal>

namespace ipwhere {

JoiningThread::JoiningThread(std::thread thread) : thread_(std::move(thread)) {}

JoiningThread& JoiningThread::operator=(JoiningThread&& other) noexcept {
  join();
  thread_ = std::move(other.thread_);
  return *this;
}

JoiningThread::~JoiningThread() { join(); }

void JoiningThread::join() noexcept {
  if (thread_.joinable()) thread_.join();
}

void block_sigpipe_in_this_thread() noexcept {
  sigset_t sigpipe;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  static_cast<void>(pthread_sigmask(SIG_BLOCK, &sigpipe, nullptr));
}

}  // namespace ipwhere
