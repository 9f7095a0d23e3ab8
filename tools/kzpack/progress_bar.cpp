#include "tools/kzpack/progress_bar.h"

#include <cstdio>
#ifdef _WIN32
#include <io.h>
#define KZ_ISATTY _isatty
#define KZ_FILENO _fileno
#else
#include <unistd.h>
#define KZ_ISATTY isatty
#define KZ_FILENO fileno
#endif

#include "tools/kzpack/cli_support.h"

namespace kzpack {

bool ProgressBarsEnabled() { return !Output().quiet && KZ_ISATTY(KZ_FILENO(stderr)); }

ProgressBar::ProgressBar(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), enabled_(ProgressBarsEnabled()) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Set(uint64_t done) {
  done_ = done;
  if (!enabled_) return;
  const int percent = total_ ? static_cast<int>(done_ >= total_ ? 100 : done_ * 100 / total_) : 100;
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  fprintf(stderr, "\r%-24.24s [%.*s%*s] %3d%%", label_.c_str(), filled, "##############################",
          kWidth - filled, "", percent);
  fflush(stderr);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (!enabled_ || !drawn_) return;
  Set(total_);
  fputc('\n', stderr);
  drawn_ = false;
  enabled_ = false;
}

}  // namespace kzpack
