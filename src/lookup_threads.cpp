#include "lookup_threads.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

FinishSignal::FinishSignal() noexcept {
  int ends[2];
  if (pipe(ends) != 0) return;
  for (const int end : ends) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
    fcntl(end, F_SETFL, O_NONBLOCK);
  }
  read_end_ = ends[0];
  write_end_ = ends[1];
}

FinishSignal::~FinishSignal() {
  if (read_end_ >= 0) close(read_end_);
  if (write_end_ >= 0) close(write_end_);
}

void FinishSignal::notify() const noexcept {
  const char byte = 0;
  // A full pipe has news enough for the reader.
  if (write_end_ >= 0 && write(write_end_, &byte, 1) != 1) errno = 0;
}

void wait_watching_output(const std::future<std::string>& result,
                          int finished_fd, int output_fd) noexcept {
  bool watching = finished_fd >= 0;
  while (result.wait_for(std::chrono::seconds(0)) !=
         std::future_status::ready) {
    if (!watching) {
      result.wait();
      return;
    }
    pollfd events[2] = {{finished_fd, POLLIN, 0}, {output_fd, 0, 0}};
    if (poll(events, 2, -1) < 0) {
      watching = errno == EINTR;
      continue;
    }
    if ((events[0].revents & POLLIN) != 0) {
      char bytes[16];
      while (read(finished_fd, bytes, sizeof bytes) > 0) {
      }
    }
    // A pipe without a reader is an error for its writer. Where SIGPIPE
    // is ignored or blocked, the run goes on to write, which fails.
    if ((events[1].revents & POLLERR) != 0) {
      static_cast<void>(std::raise(SIGPIPE));
      watching = false;
    } else if ((events[0].revents | events[1].revents) & (POLLNVAL | POLLHUP)) {
      watching = false;
    }
  }
}

}  // namespace ipwhere
