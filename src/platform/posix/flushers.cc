// Threads kept for the run, on which the flushes of several copies wait
// together: a file system commits the data of files flushed at once in one
// go, so flushing many copies costs little more than flushing one.
#include <system_error>

#include "platform/posix/posix.h"

namespace posix {

Flushers::~Flushers() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
}

void Flushers::Run(size_t count, const std::function<void(size_t)>& work) {
  if (count == 0)
    return;
  Grow(count - 1);
  std::unique_lock<std::mutex> hold(lock_);
  job_ = &work;
  count_ = count;
  next_ = 0;
  thrown_.assign(count, nullptr);
  wake_.notify_all();
  Take(hold);
  done_.wait(hold, [this] { return next_ == count_ && busy_ == 0; });
  job_ = nullptr;
  std::exception_ptr first;
  for (const std::exception_ptr& error : thrown_)
    first = first ? first : error;
  thrown_.clear();
  if (first)
    std::rethrow_exception(first);
}

void Flushers::Grow(size_t threads) {
  if (threads_.size() >= threads)
    return;
  // Started with the fatal signals held back, the threads hold them back
  // for good: the clean-up a signal runs runs on this thread.
  FatalSignalsBlocked blocked;
  try {
    while (threads_.size() < threads)
      threads_.emplace_back([this] { Serve(); });
  } catch (const std::system_error&) {
    // No more threads: the work is shared among those there are.
  }
}

void Flushers::Serve() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] {
      return stopping_ || (job_ != nullptr && next_ < count_);
    });
    if (stopping_)
      return;
    Take(hold);
  }
}

void Flushers::Take(std::unique_lock<std::mutex>& hold) {
  while (job_ != nullptr && next_ < count_) {
    const std::function<void(size_t)>& job = *job_;
    const size_t i = next_++;
    ++busy_;
    hold.unlock();
    std::exception_ptr error;
    try {
      job(i);
    } catch (...) {
      // Memory that runs out on a thread runs out in Run.
      error = std::current_exception();
    }
    hold.lock();
    thrown_[i] = error;
    --busy_;
  }
  if (next_ == count_ && busy_ == 0)
    done_.notify_all();
}

}  // namespace posix
