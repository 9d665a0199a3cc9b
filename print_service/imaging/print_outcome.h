// What became of a print request, and the answer each outcome gives.
#pragma once

enum class PrintOutcome {
  kPrinted,  // the document reached the spooler (EndDoc)
  kEmptyBody,
  kMultipart,
  kInvalidDataUrl,
  kBodyTooLarge,
  kSaveFailed,
  kOpenPrinterFailed,
  kPrinterSettingsFailed,
  kCreateDcFailed,
  kLoadImageFailed,
  kImageTooLargeForPage,
  kStartDocFailed,
  kStartPageFailed,
  kBodyIncomplete,         // the body broke off or came too slowly
  kImageHasTooManyPixels,  // by its header, the bitmap would not fit the memory bound
  kBusy,                   // no room in the memory bound within the wait
  kDrawFailed,
  kEndPageFailed,
  kEndDocFailed,
};
inline constexpr int kPrintOutcomeCount = static_cast<int>(PrintOutcome::kEndDocFailed) + 1;

struct PrintAnswer {
  const char* statusCode;
  const char* resultInfo;
};

PrintAnswer AnswerFor(PrintOutcome outcome);
