// Receiving a posted image, storing it and handing it to the print job.
#include "print_service/imaging/print_image.h"

#include "print_service/http_api/json_answer.h"
#include "print_service/imaging/base64_decode.h"
#include "print_service/imaging/temp_image.h"

#include <algorithm>
#include <cstdint>

namespace {

// The body's announced length, or the limit when chunks bring it.
uint64_t ExpectedBodySize(const ApiRequest& req, size_t maxBody) {
  if (!req.announcedLength) return maxBody;
  return *req.announcedLength < maxBody ? *req.announcedLength : maxBody;
}

// Reads the rest of a body and drops it, so that the connection stays usable.
void DropBody(const ApiRequest& req) {
  (void)req.readBody([](const char*, size_t) { return true; });
}

JsonPtr BuildPrintAnswerTree(PrintOutcome outcome) {
  const PrintAnswer answer = AnswerFor(outcome);
  return MakeAnswer(answer.statusCode, cJSON_CreateString(answer.resultInfo));
}

}  // namespace

PrintOutcome ProcessPrintImage(PrintImagePorts& ports, const ApiRequest& req) {
  DiagnosticLog& log = ports.log;
  // The last parameter in the map's order names the printer, whatever its name.
  std::string printName;
  std::string context;
  for (const auto& [name, value] : req.params) {
    printName = value;
    const std::string line = name + " = " + value;
    log.Line(line);
    context += line + "\n";
  }
  log.Line(context);

  // The thread identifier first, then the tick count.
  const uint32_t threadId = ports.clock.ThreadId();
  const std::string imageFileName = TempImageName(threadId, ports.clock.TickCount());
  log.Line("生成唯一文件名: " + imageFileName);

  if (req.multipart) {
    DropBody(req);
    log.Line("日");
    return PrintOutcome::kMultipart;
  }

  // The text and the decoded bytes together need 7/4 of the body; uploads wait
  // for that room before reading, the rest of their body waits on the wire.
  const uint64_t expected = ExpectedBodySize(req, ports.maxBody);
  std::optional<FairBudget::Grant> uploadGrant = ports.budget->Acquire(expected + expected * 3 / 4, ports.turnWait);
  if (!uploadGrant) {
    DropBody(req);
    log.Line("no memory for the upload within the wait");
    return PrintOutcome::kBusy;
  }
  if (ports.onTurn) ports.onTurn();

  std::string body;
  if (req.announcedLength) body.reserve(static_cast<size_t>(expected));
  bool tooLarge = false;
  const bool complete = req.readBody([&](const char* data, size_t length) {
    // Past the limit the rest is read and dropped: stopping early would leave the
    // rest of the body on a kept-alive connection, to be taken for the next request.
    if (tooLarge) return true;
    if (length > ports.maxBody - body.size()) {
      tooLarge = true;
      std::string().swap(body);
      return true;
    }
    body.append(data, length);
    return true;
  });
  if (!complete) return PrintOutcome::kBodyIncomplete;
  if (tooLarge) return PrintOutcome::kBodyTooLarge;
  if (body.empty()) {
    log.Line(" pic data is empty ");
    return PrintOutcome::kEmptyBody;
  }

  const std::optional<std::string_view> payload = DataUrlPayload(body);
  if (!payload) return PrintOutcome::kInvalidDataUrl;
  std::string bytes = base64Decode(*payload);
  std::string().swap(body);  // the print job needs neither text nor bytes: give the memory back

  // Only the four formats pages send go further: the system's decoders also
  // parse metafiles, TIFF and icons, whose parsers no label needs exposed.
  if (!SniffImageFormat(bytes)) {
    log.Line("not a PNG, JPEG, GIF or BMP image: refused");
    return PrintOutcome::kUnsupportedImageFormat;
  }
  const std::optional<ImageSize> size = ReadImageSize(bytes);
  if (size && uint64_t{size->width} * size->height > kMaxImagePixels) {
    log.Line("image of " + std::to_string(size->width) + " x " + std::to_string(size->height) + " pixels refused");
    return PrintOutcome::kImageHasTooManyPixels;
  }
  // Only a queue the spooler lists may be opened, and nothing is stored for another name.
  if (!ports.printer.MayOpen(printName)) {
    log.Line("no queue is named: " + printName);
    return PrintOutcome::kPrinterUnavailable;
  }

  ImageInUse inUse(StoredImagesInUse(), imageFileName);
  const bool stored = ports.store.Save(imageFileName, bytes);
  std::string().swap(bytes);
  uploadGrant.reset();
  if (!stored) {
    log.Line("文件保存失败，取消打印");
    return PrintOutcome::kImageNotStored;
  }
  ports.store.PruneOldImages();

  const uint64_t printMemory = PrintMemoryFor(size, ports.budget->total());
  const std::optional<FairBudget::Grant> printGrant = ports.budget->Acquire(printMemory, ports.turnWait);
  if (!printGrant) {
    log.Line("no memory for the print within the wait");
    return PrintOutcome::kBusy;
  }
  log.Line("start print with file: " + imageFileName);
  return ports.printer.Print(printName, imageFileName, printMemory);
}

FairBudget& ImageMemoryBudget() {
  static FairBudget* budget = new FairBudget(kImageMemoryBudget);  // never destroyed: see StoredImagesInUse
  return *budget;
}

uint64_t PrintMemoryFor(const std::optional<ImageSize>& size, uint64_t budget) {
  if (!size) return budget;
  const uint64_t pixels = uint64_t{size->width} * size->height;
  if (pixels > kMaxImagePixels) return budget;
  return std::min(budget, std::max(kPrintMemoryFloor, 3 * 4 * pixels));
}

std::string BuildPrintAnswer(PrintOutcome outcome) {
  JsonPtr tree = BuildPrintAnswerTree(outcome);
  return PrintJson(tree.get()).value_or(std::string());
}

ApiAnswer HandlePrintImage(PrintImagePorts& ports, const ApiRequest& req) {
  const PrintOutcome outcome = ProcessPrintImage(ports, req);
  JsonPtr tree = BuildPrintAnswerTree(outcome);
  return JsonAnswer(tree.get());
}
