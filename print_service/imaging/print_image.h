// The "/klapi/PrintImage" endpoint: store the posted image, print it, tell the outcome.
#pragma once

#include "common/diagnostic_log.h"
#include "common/fair_budget.h"
#include "print_service/http_api/api_request.h"
#include "print_service/imaging/image_header.h"
#include "print_service/imaging/print_outcome.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The largest bitmap a print decodes: 32 million pixels, 128 MiB at 32 bits a
// pixel. A 4 x 6 inch label at 600 dpi has 8.6 million, a 4 x 40 inch one at
// 300 dpi 14.4 million.
inline constexpr uint64_t kMaxImagePixels = 32u * 1024u * 1024u;

// What uploads and prints in flight may hold at once. A print holds up to three
// copies of its bitmap (the decoder's, ours, the driver's), so the largest one
// runs alone; an upload holds its text and the decoded bytes (7/4 of its body),
// so two of the largest run side by side. With the threads, buffers and the
// program itself this keeps the process within 512 MiB above idle.
inline constexpr uint64_t kImageMemoryBudget = 3u * 4u * kMaxImagePixels;

// How long an upload or a print waits for room before it is answered as busy.
inline constexpr std::chrono::milliseconds kMemoryTurnWait{60000};

// The program's one budget for image memory.
FairBudget& ImageMemoryBudget();

// What a print takes however small its image: a decoder's own tables and
// windows (zlib's 32 KiB window, a JPEG's Huffman tables and sample rows).
inline constexpr uint64_t kPrintMemoryFloor = 4u * 1024u * 1024u;

// Bytes a print of an image of this size takes from the budget (at least the
// floor, at most the budget); the whole budget when the size is unknown (a
// header we could not read).
uint64_t PrintMemoryFor(const std::optional<ImageSize>& size, uint64_t budget);

struct ImageStore {
  virtual ~ImageStore() = default;
  // Writes bytes as fileName in the program directory, or the temporary directory
  // when that fails; true when every byte was written.
  virtual bool Save(const std::string& fileName, std::string_view bytes) = 0;
  // Deletes all but the newest stored images, leaving those in use; after each save.
  virtual void PruneOldImages() = 0;
};

struct ImagePrinter {
  virtual ~ImagePrinter() = default;
  // Whether printName names a queue that may be opened now (asks nothing outside the machine).
  virtual bool MayOpen(const std::string& printName) = 0;
  // Prints the stored file (looked up in the same two directories) on the queue,
  // within memoryGrant bytes taken from the image budget for it.
  virtual PrintOutcome Print(const std::string& printName, const std::string& imageFileName,
                             uint64_t memoryGrant) = 0;
};

struct RequestClock {
  virtual ~RequestClock() = default;
  virtual uint32_t ThreadId() = 0;
  virtual uint32_t TickCount() = 0;
};

struct PrintImagePorts {
  PrintImagePorts(ImageStore& s, ImagePrinter& p, RequestClock& c, DiagnosticLog& l, size_t limit = kMaxImageBody)
      : store(s), printer(p), clock(c), log(l), maxBody(limit) {}
  ImageStore& store;
  ImagePrinter& printer;
  RequestClock& clock;
  DiagnosticLog& log;
  size_t maxBody = kMaxImageBody;
  FairBudget* budget = &ImageMemoryBudget();
  std::chrono::milliseconds turnWait = kMemoryTurnWait;
  // Called once the upload's turn has come, before its body is read (the
  // server restarts the request's deadline there).
  std::function<void()> onTurn;
};

// Everything up to the answer; the request's body is read through its reader.
PrintOutcome ProcessPrintImage(PrintImagePorts& ports, const ApiRequest& req);

ApiAnswer HandlePrintImage(PrintImagePorts& ports, const ApiRequest& req);

// The JSON answer for an outcome.
std::string BuildPrintAnswer(PrintOutcome outcome);
