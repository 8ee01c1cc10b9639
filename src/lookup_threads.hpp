// The threads that run the lookups: each runs one lookup and hands its
// result, or its exception, to a future; none outlives its owner.
#ifndef IPWHERE_LOOKUP_THREADS_HPP_
#define IPWHERE_LOOKUP_THREADS_HPP_

#include <exception>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace ipwhere {

// A thread that is joined when it is destroyed or assigned over.
class JoiningThread {
 public:
  JoiningThread() = default;
  explicit JoiningThread(std::thread thread);
  JoiningThread(JoiningThread&& other) noexcept = default;
  JoiningThread& operator=(JoiningThread&& other) noexcept;
  JoiningThread(const JoiningThread&) = delete;
  JoiningThread& operator=(const JoiningThread&) = delete;
  ~JoiningThread();

 private:
  void join() noexcept;
  std::thread thread_;
};

// Blocks SIGPIPE in the calling thread and the threads it starts later.
// A peer that closes its end while a request is being sent must not end
// the process, and libcurl is told to leave signals alone; the write then
// fails with EPIPE. The main thread keeps the process's own disposition
// for writing the report, so a reader that went away ends the run as it
// ends other tools.
void block_sigpipe_in_this_thread() noexcept;

// A pipe that lookup threads write a byte to as they finish, so that the
// thread waiting for them can wait for other events too, with poll().
class FinishSignal {
 public:
  FinishSignal() noexcept;
  ~FinishSignal();
  FinishSignal(const FinishSignal&) = delete;
  FinishSignal& operator=(const FinishSignal&) = delete;

  void notify() const noexcept;
  // The end to poll for reading; -1 when the system gave no pipe.
  [[nodiscard]] int fd() const { return read_end_; }

 private:
  int read_end_ = -1;
  int write_end_ = -1;
};

// Waits until `result` is ready. When a lookup finishes, `finished_fd`
// (from a FinishSignal; -1 for none) becomes readable. Meanwhile, if the
// reader of `output_fd` goes away (the read end of a pipe closed, as in
// `ipwhere | head -n 1`), raises SIGPIPE at once, as the next write to it
// would, rather than waiting for the lookup to give up.
void wait_watching_output(const std::future<std::string>& result,
                          int finished_fd, int output_fd) noexcept;

// How start_lookup makes its threads, unless a test says otherwise.
struct StartThread {
  template <typename Body>
  std::thread operator()(Body body) const {
    return std::thread(std::move(body));
  }
};

// Runs `lookup` on a thread made by `start_thread` and kept in `worker`,
// with SIGPIPE blocked, and returns the future of its result; `finished`,
// if any, is notified once the result is set. A thread of
// our own rather than std::async: when the system refuses a thread (a
// process limit), std::thread throws std::system_error on every standard
// library, while libc++ 14's std::async(std::launch::async) does not throw
// but hangs forever. The returned future then holds that error, as a
// failed lookup would.
template <typename Lookup, typename Start = StartThread>
std::future<std::string> start_lookup(Lookup lookup, JoiningThread& worker,
                                      const FinishSignal* finished = nullptr,
                                      Start start_thread = {}) {
  std::packaged_task<std::string()> task(std::move(lookup));
  std::future<std::string> result = task.get_future();
  try {
    worker = JoiningThread(
        start_thread([task = std::move(task), finished]() mutable {
          block_sigpipe_in_this_thread();
          task();
          if (finished != nullptr) finished->notify();
        }));
  } catch (const std::system_error&) {
    std::promise<std::string> failed;
    failed.set_exception(std::current_exception());
    return failed.get_future();
  }
  return result;
}

}  // namespace ipwhere

#endif  // IPWHERE_LOOKUP_THREADS_HPP_
