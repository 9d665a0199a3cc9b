// What became of a print request, and the answer each outcome gives. Each
// outcome names what failed for the caller; the print system's adapters map
// their own steps onto these.
#pragma once

enum class PrintOutcome {
  kPrinted,  // the job reached the print system in full
  kEmptyBody,
  kMultipart,
  kInvalidDataUrl,
  kBodyTooLarge,
  kImageNotStored,
  kPrinterUnavailable,           // no such queue, or it could not be opened
  kPrinterSettingsUnavailable,   // the queue's default settings could not be read
  kPrinterDeviceUnavailable,     // no device to draw on could be made for the queue
  kImageUnreadable,              // the stored image could not be read or decoded
  kImageTooLargeForPage,
  kJobNotStarted,
  kPageNotStarted,
  kBodyIncomplete,         // the body broke off or came too slowly
  kImageHasTooManyPixels,  // by its header, the bitmap would not fit the memory bound
  kBusy,                   // no room in the memory bound within the wait
  kImageNotDrawn,
  kPageNotFinished,
  kJobNotFinished,
  kUnsupportedImageFormat,  // not PNG, JPEG, GIF or BMP by its signature
};
inline constexpr int kPrintOutcomeCount = static_cast<int>(PrintOutcome::kUnsupportedImageFormat) + 1;

struct PrintAnswer {
  const char* statusCode;
  const char* resultInfo;
};

PrintAnswer AnswerFor(PrintOutcome outcome);
