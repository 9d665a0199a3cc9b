// The print job: the stored image decoded, drawn into a PDF page of its own size
// at the queue's resolution, and streamed to CUPS as one document.
#include "linux_agent/imaging/cups_image_printer_cups.h"

#include "common/scope_guard.h"
#include "linux_agent/imaging/image_directory_posix.h"
#include "linux_agent/imaging/label_bitmap.h"
#include "linux_agent/imaging/label_pdf.h"
#include "print_service/imaging/paper_size.h"
#include "linux_agent/printers/cups_destinations_cups.h"

#include <cups/cups.h>

#include <cstdio>

namespace {

constexpr char kJobTitle[] = "kelo label";

std::string Decimal(long long value) { return std::to_string(value); }

// "Custom.<width>x<height>" in points, three decimals: finer than a dot at any
// resolution, so the page comes out at exactly the image's dots.
std::string CustomPageSize(double widthPoints, double heightPoints) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "Custom.%.3fx%.3f", widthPoints, heightPoints);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

}  // namespace

bool CupsImagePrinter::MayOpen(const std::string& printName) {
  const std::optional<CupsDestinations> dests = CupsDestinations::Fetch();
  return dests && dests->FindQueue(printName) != nullptr;
}

PrintOutcome CupsImagePrinter::Print(const std::string& printName, const std::string& imageFileName,
                                     uint64_t memoryGrant) {
  OpenedQueue queue;
  switch (OpenQueue(printName, queue)) {
    case QueueOpening::kOk: break;
    case QueueOpening::kNotListed:
      log_.Line("finding the queue: CUPS lists no queue named " + printName);
      return PrintOutcome::kPrinterUnavailable;
    case QueueOpening::kUnreachable:
      log_.Line("finding the queue: CUPS cannot be reached for " + printName + ": " + cupsLastErrorString());
      return PrintOutcome::kPrinterUnavailable;
    case QueueOpening::kNoSettings:
      log_.Line("finding the queue: no default resolution for " + printName + ": " + cupsLastErrorString());
      return PrintOutcome::kPrinterSettingsUnavailable;
  }
  http_t* http = queue.http.get();
  cups_dest_t* dest = queue.dest;
  cups_dinfo_t* info = queue.info.get();
  const int xDpi = queue.xDpi;
  const int yDpi = queue.yDpi;
  log_.Line("queue " + printName + ": " + Decimal(xDpi) + "x" + Decimal(yDpi) + " dpi");

  // An image that cannot be loaded is not replaced by a placeholder: it would
  // waste a label and hide the fault. The file stays for the housekeeping.
  std::string reason;
  const std::optional<ImageDirectory> dir = ImageDirectory::Open(imageDirectory_, reason);
  const UniqueFd image = dir ? dir->OpenForReading(imageFileName, kMaxImageBody) : UniqueFd();
  if (image.Get() < 0) {
    log_.Line("reading the stored image failed: " + imageDirectory_ + "/" + imageFileName +
              (dir ? "" : " (the directory " + reason + ")"));
    return PrintOutcome::kImageUnreadable;
  }
  LabelBitmap bitmap;
  std::string detail;
  const DecodeResult decoded = decoder_.Decode(image.Get(), DecodeLimits{kMaxImagePixels, memoryGrant}, bitmap, detail);
  switch (decoded) {
    case DecodeResult::kOk: break;
    case DecodeResult::kTooManyPixels:
      log_.Line("decoding the image: more than " + Decimal(static_cast<long long>(kMaxImagePixels)) + " pixels");
      return PrintOutcome::kImageHasTooManyPixels;
    case DecodeResult::kOutOfMemory:
      log_.Line("decoding the image: it needs more than " + Decimal(static_cast<long long>(memoryGrant)) + " bytes");
      return PrintOutcome::kImageUnreadable;
    case DecodeResult::kNotAnImage:
      log_.Line("decoding the image failed: " + imageDirectory_ + "/" + imageFileName);
      return PrintOutcome::kImageUnreadable;
    case DecodeResult::kDecoderFailed:
      log_.Line("the decoder " + decoder_.path() + " failed on " + imageDirectory_ + "/" + imageFileName + ": " + detail);
      return PrintOutcome::kImageUnreadable;
  }
  log_.Line("image decoded: " + Decimal(bitmap.width) + " x " + Decimal(bitmap.height) + " pixels");

  // The same bound as the paper of the Windows build, and what the PDF writer takes.
  const PaperSize paper = PaperSizeFor(xDpi, bitmap.width, bitmap.height);
  if (!FitsDevMode(paper) || bitmap.width > kMaxPdfEdgePixels || bitmap.height > kMaxPdfEdgePixels) {
    log_.Line("making the PDF: the image is too large for one page");
    return PrintOutcome::kImageTooLargeForPage;
  }
  const uint32_t width = bitmap.width;
  const uint32_t height = bitmap.height;
  const std::string pageSize = CustomPageSize(PagePoints(bitmap.width, xDpi), PagePoints(bitmap.height, yDpi));

  // Drawn before a job exists: a PDF that cannot be made leaves nothing in the queue.
  std::string pdf;
  const bool drawn = WriteLabelPdf(bitmap, xDpi, yDpi, [&](const unsigned char* data, size_t length) {
    pdf.append(reinterpret_cast<const char*>(data), length);
    return true;
  });
  bitmap = LabelBitmap();
  if (!drawn) {
    log_.Line("making the PDF failed");
    return PrintOutcome::kImageNotDrawn;
  }
  log_.Line("PDF made: " + Decimal(width) + " x " + Decimal(height) + " dots, " + Decimal(static_cast<long long>(pdf.size())) +
            " bytes, page " + pageSize);

  // Exactly the image's page, never fitted to the queue's default media.
  cups_option_t* options = nullptr;
  int optionCount = cupsAddOption("PageSize", pageSize.c_str(), 0, &options);
  optionCount = cupsAddOption("print-scaling", "none", optionCount, &options);
  ScopeGuard freeOptions([&] { cupsFreeOptions(optionCount, options); });

  int jobId = 0;
  if (cupsCreateDestJob(http, dest, info, &jobId, kJobTitle, optionCount, options) != IPP_STATUS_OK ||
      jobId <= 0) {
    log_.Line("creating the job failed: " + std::string(cupsLastErrorString()));
    return PrintOutcome::kJobNotStarted;
  }
  // A job that did not get its whole document is cancelled, not left waiting.
  ScopeGuard cancelJob([&] { (void)cupsCancelDestJob(http, dest, jobId); });
  log_.Line("job " + Decimal(jobId) + " created on " + printName);

  if (cupsStartDestDocument(http, dest, info, jobId, kJobTitle, CUPS_FORMAT_PDF, 0, nullptr, 1) !=
      HTTP_STATUS_CONTINUE) {
    log_.Line("sending the job's document failed: " + std::string(cupsLastErrorString()));
    return PrintOutcome::kPageNotStarted;
  }
  const bool sent = cupsWriteRequestData(http, pdf.data(), pdf.size()) == HTTP_STATUS_CONTINUE;
  // The request is ended either way, so that the server's answer is read.
  const ipp_status_t finished = cupsFinishDestDocument(http, dest, info);
  if (!sent) {
    log_.Line("sending the PDF failed: " + std::string(cupsLastErrorString()));
    return PrintOutcome::kPageNotFinished;
  }
  if (finished != IPP_STATUS_OK) {
    log_.Line("CUPS did not accept the job: " + std::string(cupsLastErrorString()));
    return PrintOutcome::kJobNotFinished;
  }
  cancelJob.Dismiss();
  log_.Line("job " + Decimal(jobId) + " sent");
  return PrintOutcome::kPrinted;
}
