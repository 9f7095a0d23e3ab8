// A one-line progress bar on stderr, drawn only when stderr is a terminal
// and --quiet is off; otherwise every call does nothing.
#pragma once

#include <cstdint>
#include <string>

namespace kzpack {

class ProgressBar {
 public:
  ProgressBar(std::string label, uint64_t total);
  ~ProgressBar();  // ends the line if anything was drawn
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Set(uint64_t done);
  void Add(uint64_t amount) { Set(done_ + amount); }
  void Finish();

 private:
  std::string label_;
  uint64_t total_;
  uint64_t done_ = 0;
  int lastPercent_ = -1;
  bool enabled_;
  bool drawn_ = false;
};

// Whether bars are drawn at all (a terminal on stderr, not quiet).
bool ProgressBarsEnabled();

}  // namespace kzpack
