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
};

struct PrintAnswer {
  const char* statusCode;
  const char* resultInfo;
};

PrintAnswer AnswerFor(PrintOutcome outcome);
