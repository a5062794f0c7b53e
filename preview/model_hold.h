#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

// The model passed between a thread that draws it and the owner that may
// replace or free it. The drawing thread holds it for a job and lets go at
// every slice (and around long driver calls that do not read it); the
// owner takes it within one slice, and the job then stops without reading
// the model again.
class ModelHold {
 public:
  // The drawing thread: holds the model for a job, or lets go of it.
  void Hold() {
    mutex_.lock();
    held_ = generation_.load(std::memory_order_acquire);
  }
  void LetGo() { mutex_.unlock(); }
  // Holds it again after LetGo; false when the owner took it meanwhile.
  bool Retake() {
    mutex_.lock();
    return Current();
  }
  // Between slices: lets a waiting owner take the model. False once it
  // has been taken since Hold.
  bool Yield() {
    if (wanted_.load(std::memory_order_acquire)) {
      mutex_.unlock();
      while (wanted_.load(std::memory_order_acquire)) std::this_thread::yield();
      mutex_.lock();
    }
    return Current();
  }
  bool Current() const { return generation_.load(std::memory_order_acquire) == held_; }
  // Whether the owner waits to take the model.
  bool Wanted() const { return wanted_.load(std::memory_order_acquire); }
  // The owner: waits until the drawing thread lets go, and stops the job
  // that held the model; Give lets the drawing thread on.
  void Take() {
    wanted_.store(true, std::memory_order_release);
    mutex_.lock();
    generation_.fetch_add(1, std::memory_order_acq_rel);
    wanted_.store(false, std::memory_order_release);
  }
  void Give() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::atomic<bool> wanted_{false};
  std::atomic<uint64_t> generation_{0};
  uint64_t held_ = 0;  // the drawing thread's
};
