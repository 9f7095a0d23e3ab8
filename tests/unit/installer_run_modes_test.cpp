// Gui-mode plumbing: progress reports from the worker thread reach the bar
// through the entry thread's pump, which serves them at once and returns
// when the worker ends; the dialog procedure finds the bar.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <vector>

#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/progress_dialog.h"
#include "InstallerLogic/run_modes.h"
#include "support/progress.h"
#include "tests/support/test_support.h"

namespace installer {
namespace {

constexpr int kReports = 200;

DWORD WINAPI ReportingWorker(LPVOID) {
  for (int i = 0; i < kReports; ++i) ReportProgress(0, i % 100);
  ReportProgress(85, 11);
  return 0;
}

class ProgressBarWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_POPUP, 0, 0, 100, 10, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
    if (!bar_) GTEST_SKIP() << "no window station to create windows in";
    SendMessageW(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    hwndProgress = bar_;
    SetProgressSink(MoveProgressBar);
  }
  void TearDown() override {
    SetProgressSink(nullptr);
    hwndProgress = nullptr;
    if (bar_) DestroyWindow(bar_);
  }
  HWND bar_ = nullptr;
};

TEST_F(ProgressBarWindow, PumpServesReportsAtOnceAndEndsWithTheWorker) {
  kztest::DebugCapture capture;
  const DWORD start = GetTickCount();
  HANDLE thread = CreateThread(nullptr, 0, ReportingWorker, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  PumpUntilThreadEnds(thread);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // returned because the thread ended
  CloseHandle(thread);
  // Every report was delivered across threads, in order.
  EXPECT_EQ(SendMessageW(bar_, PBM_GETPOS, 0, 0), 96);
  int lines = 0;
  for (const std::string& line : capture.lines()) lines += line.rfind("Progress ", 0) == 0;
  EXPECT_EQ(lines, kReports + 1);
  // A pump that served sent messages only after 10 ms waits would need
  // about 2 s for 201 reports; waking on them takes a small fraction.
  EXPECT_LT(elapsed, 1000u) << "reports waited for the pump's time-out";
}

TEST_F(ProgressBarWindow, SilentReportsOnlyWriteLines) {
  hwndProgress = nullptr;  // silent mode: no window
  kztest::DebugCapture capture;
  SendMessageW(bar_, PBM_SETPOS, 7, 0);
  ReportProgress(50, 12);
  EXPECT_EQ(SendMessageW(bar_, PBM_GETPOS, 0, 0), 7);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], "Progress 62%");
}

TEST(InstallerDialogProc, FindsTheBarAndDeclinesEveryMessage) {
  HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (!parent) GTEST_SKIP() << "no window station to create windows in";
  HWND bar = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 5, 5, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgressBarId)),
                             GetModuleHandleW(nullptr), nullptr);
  hwndProgress = nullptr;
  EXPECT_EQ(ProgressDialogProc(parent, WM_INITDIALOG, 0, 0), FALSE);
  EXPECT_EQ(hwndProgress, bar);
  EXPECT_EQ(ProgressDialogProc(parent, WM_CLOSE, 0, 0), FALSE);  // cannot be closed
  EXPECT_EQ(ProgressDialogProc(parent, WM_COMMAND, IDCANCEL, 0), FALSE);
  hwndProgress = nullptr;
  DestroyWindow(parent);
}

}  // namespace
}  // namespace installer
#endif  // _WIN32
