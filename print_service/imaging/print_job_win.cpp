// Printing a stored image unscaled on a landscape page sized to the image.
#include "print_service/imaging/print_job_win.h"

#include "common/scope_guard.h"
#include "common/text_convert.h"
#include "common/unique_owner_win.h"
#include "print_service/imaging/image_paths_win.h"
#include "print_service/imaging/label_image_win.h"
#include "print_service/imaging/paper_size.h"
#include "print_service/printers/queue_lookup_win.h"
#include "print_service/printers/queue_settings_win.h"

#include <winspool.h>

#include <cstdio>
#include <memory>

namespace {

std::string Decimal(long long value) { return std::to_string(value); }

// Loads the image from the program directory, then from the temporary directory.
bool LoadStoredImage(const std::string& imageFileName, LabelImage& image, DiagnosticLog& log, bool& tooManyPixels) {
  const std::wstring name = WideImageName(imageFileName);
  HRESULT result = E_FAIL;
  if (auto dir = ProgramDirectory()) {
    if (auto path = JoinImagePath(*dir, name)) {
      log.WideLine("尝试加载图片: " + Utf8FromWide(*path));
      result = image.Load(*path);
      if (SUCCEEDED(result)) {
        log.WideLine("成功加载程序目录下的图片: " + Utf8FromWide(*path));
        return true;
      }
      tooManyPixels = result == kTooManyPixels;
      if (tooManyPixels) return false;
    }
  }
  log.WideLine("程序目录加载失败，错误代码: " + Decimal(static_cast<long>(result)) + "，尝试临时目录...");
  result = E_FAIL;
  if (auto dir = TempDirectory()) {
    if (auto path = JoinImagePath(*dir, name)) {
      log.WideLine("尝试加载临时目录图片: " + Utf8FromWide(*path));
      result = image.Load(*path);
      if (SUCCEEDED(result)) {
        log.WideLine("成功加载临时目录下的图片: " + Utf8FromWide(*path));
        return true;
      }
      tooManyPixels = result == kTooManyPixels;
    }
  }
  log.WideLine("临时目录也加载失败，错误代码: " + Decimal(static_cast<long>(result)));
  return false;
}

}  // namespace

bool SpoolerImagePrinter::MayOpen(const std::string& printName) { return OpenableQueue(printName).has_value(); }

PrintOutcome printImageFile(std::string printName, std::string imageFileName, DiagnosticLog& log) {
  // Only a listed queue is opened: a UNC name would make Windows connect to its
  // host with the user's credentials, a device name open the device.
  std::optional<std::wstring> openable = OpenableQueue(printName);
  if (!openable) {
    log.Line("无法打开打印机: no queue is named " + printName);
    return PrintOutcome::kPrinterUnavailable;
  }
  std::wstring wideName = std::move(*openable);

  UniquePrinter printer;
  if (!OpenPrinterW(wideName.data(), printer.Put(), nullptr)) {
    log.Line("无法打开打印机: " + Decimal(GetLastError()));
    return PrintOutcome::kPrinterUnavailable;
  }

  QueueDevMode settings(printer.Get(), wideName);
  DEVMODEW* devMode = settings.Get();
  if (devMode == nullptr) return PrintOutcome::kPrinterSettingsUnavailable;

  UniqueDC dc(CreateDCW(nullptr, wideName.c_str(), nullptr, devMode));
  if (!dc) {
    log.Line("Could not create printer DC: " + Decimal(GetLastError()));
    return PrintOutcome::kPrinterDeviceUnavailable;
  }
  log.Line("打印机分辨率: " + Decimal(GetDeviceCaps(dc.Get(), LOGPIXELSX)) + "x" +
           Decimal(GetDeviceCaps(dc.Get(), LOGPIXELSY)) + " DPI");
  log.Line("打印机物理分辨率: " + Decimal(GetDeviceCaps(dc.Get(), PHYSICALWIDTH)) + "x" +
           Decimal(GetDeviceCaps(dc.Get(), PHYSICALHEIGHT)) + " pixels");

  // An image that cannot be loaded is not replaced by a placeholder: it would
  // waste a label and hide the fault. The file stays for the housekeeping.
  LabelImage image;
  bool tooManyPixels = false;
  if (!LoadStoredImage(imageFileName, image, log, tooManyPixels)) {
    return tooManyPixels ? PrintOutcome::kImageHasTooManyPixels : PrintOutcome::kImageUnreadable;
  }
  const int w = image.width();
  const int h = image.height();

  const PaperSize paper = PaperSizeFor(devMode->dmPrintQuality, w, h);
  if (!FitsDevMode(paper)) return PrintOutcome::kImageTooLargeForPage;
  devMode->dmFields |= DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH;
  devMode->dmOrientation = DMORIENT_LANDSCAPE;
  devMode->dmPaperSize = 0;
  devMode->dmPaperLength = static_cast<short>(paper.length);
  devMode->dmPaperWidth = static_cast<short>(paper.width);
  log.Print(Decimal(paper.length) + "  " + Decimal(paper.width));
  (void)ResetDCW(dc.Get(), devMode);  // a driver that keeps its page still prints the image
  const short quality = devMode->dmPrintQuality;
  settings.Unlock();

  DOCINFOW docInfo = {};
  docInfo.cbSize = sizeof(docInfo);
  docInfo.lpszDocName = L"kelo label";
  log.Line("打印质量设置1: " + Decimal(quality));
  const int jobId = StartDocW(dc.Get(), &docInfo);
  if (jobId <= 0) {
    log.Line("StartDoc 错误，错误代码：" + Decimal(GetLastError()) + " | work id:" + Decimal(jobId));
    return PrintOutcome::kJobNotStarted;
  }
  ScopeGuard abortDocument([&] { (void)AbortDoc(dc.Get()); });
  log.Line("作业编号：" + Decimal(jobId));

  if (StartPage(dc.Get()) <= 0) {
    log.Print("StartPage 错误\n");
    return PrintOutcome::kPageNotStarted;
  }
  // A page or a job the driver refused is not a success: the job is aborted
  // (the guard) and the page learns what failed.
  if (!image.Draw(dc.Get())) {
    log.Line("绘制位图失败: " + Decimal(GetLastError()));
    return PrintOutcome::kImageNotDrawn;
  }
  log.Print("1--位图大小：" + Decimal(w) + " x " + Decimal(h) + "\n");
  if (EndPage(dc.Get()) <= 0) {
    log.Line("EndPage 错误，错误代码：" + Decimal(GetLastError()));
    return PrintOutcome::kPageNotFinished;
  }
  // After a failed EndDoc the spooler has already dropped the job; AbortDoc is harmless.
  if (EndDoc(dc.Get()) <= 0) {
    log.Line("EndDoc 错误，错误代码：" + Decimal(GetLastError()));
    return PrintOutcome::kJobNotFinished;
  }
  abortDocument.Dismiss();
  log.Print("打印顺利完成了. o(∩_∩)o \n");
  log.Line("打印质量设置2: " + Decimal(quality));

  if (auto dir = ProgramDirectory()) {
    if (auto deleteFilePath = JoinImagePath(*dir, WideImageName(imageFileName))) {
      log.WideLine("已释放图片资源，保留文件用于调试: " + Utf8FromWide(*deleteFilePath));
    }
  }
  return PrintOutcome::kPrinted;
}
