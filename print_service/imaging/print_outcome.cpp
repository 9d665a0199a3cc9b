// The one table from print outcomes to the answer's texts.
#include "print_service/imaging/print_outcome.h"

PrintAnswer AnswerFor(PrintOutcome outcome) {
  switch (outcome) {
    case PrintOutcome::kPrinted: return {"10001", "hahah"};
    case PrintOutcome::kEmptyBody: return {"10002", "Image data is required"};
    case PrintOutcome::kMultipart: return {"10002", "Multipart upload is not supported"};
    case PrintOutcome::kInvalidDataUrl: return {"10002", "Invalid data URL"};
    case PrintOutcome::kBodyTooLarge: return {"10002", "Image data is too large"};
    case PrintOutcome::kImageNotStored: return {"10002", "Failed to save image"};
    case PrintOutcome::kPrinterUnavailable: return {"10002", "Failed to open printer"};
    case PrintOutcome::kPrinterSettingsUnavailable: return {"10002", "Failed to read printer settings"};
    case PrintOutcome::kPrinterDeviceUnavailable: return {"10002", "Failed to create printer DC"};
    case PrintOutcome::kImageUnreadable: return {"10002", "Failed to load image"};
    case PrintOutcome::kImageTooLargeForPage: return {"10002", "Image is too large for the page"};
    case PrintOutcome::kJobNotStarted: return {"10002", "Failed to start print job"};
    case PrintOutcome::kPageNotStarted: return {"10002", "Failed to start page"};
    case PrintOutcome::kBodyIncomplete: return {"10002", "Image data was not received in full"};
    case PrintOutcome::kImageHasTooManyPixels: return {"10002", "Image is too large for the page"};
    case PrintOutcome::kBusy: return {"10002", "Too many images are waiting to print; try again"};
    case PrintOutcome::kImageNotDrawn: return {"10002", "Failed to draw the image"};
    case PrintOutcome::kPageNotFinished: return {"10002", "Failed to end page"};
    case PrintOutcome::kJobNotFinished: return {"10002", "Failed to end print job"};
    case PrintOutcome::kUnsupportedImageFormat: return {"10002", "Unsupported image format; send PNG, JPEG, GIF or BMP"};
  }
  return {"10002", "Failed to print"};
}
