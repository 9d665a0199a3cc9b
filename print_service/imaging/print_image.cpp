// Receiving a posted image, storing it and handing it to the print job.
#include "print_service/imaging/print_image.h"

#include "print_service/http_api/http_api.h"
#include "print_service/imaging/base64_decode.h"
#include "print_service/imaging/temp_image.h"

namespace {

JsonPtr BuildPrintAnswerTree(PrintOutcome outcome) {
  const PrintAnswer answer = AnswerFor(outcome);
  return MakeAnswer(answer.statusCode, cJSON_CreateString(answer.resultInfo));
}

}  // namespace

PrintOutcome ProcessPrintImage(PrintImagePorts& ports, const httplib::Request& req,
                               const httplib::ContentReader& contentReader) {
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

  if (req.is_multipart_form_data()) {
    // Read to the end and dropped, so that the connection stays usable.
    (void)contentReader([](const httplib::MultipartFormData&) { return true; },
                        [](const char*, size_t) { return true; });
    log.Line("日");
    return PrintOutcome::kMultipart;
  }

  std::string body;
  bool tooLarge = false;
  (void)contentReader([&](const char* data, size_t length) {
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
  if (tooLarge) return PrintOutcome::kBodyTooLarge;
  if (body.empty()) {
    log.Line(" pic data is empty ");
    return PrintOutcome::kEmptyBody;
  }

  const std::optional<std::string_view> payload = DataUrlPayload(body);
  if (!payload) return PrintOutcome::kInvalidDataUrl;
  std::string bytes = base64Decode(*payload);
  std::string().swap(body);  // the print job needs neither text nor bytes: give the memory back

  const bool stored = ports.store.Save(imageFileName, bytes);
  std::string().swap(bytes);
  if (!stored) {
    log.Line("文件保存失败，取消打印");
    return PrintOutcome::kSaveFailed;
  }
  log.Line("start print with file: " + imageFileName);
  return ports.printer.Print(printName, imageFileName);
}

std::string BuildPrintAnswer(PrintOutcome outcome) {
  JsonPtr tree = BuildPrintAnswerTree(outcome);
  return PrintJson(tree.get()).value_or(std::string());
}

void HandlePrintImage(PrintImagePorts& ports, const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& contentReader) {
  SetCorsHeaders(res);
  const PrintOutcome outcome = ProcessPrintImage(ports, req, contentReader);
  JsonPtr tree = BuildPrintAnswerTree(outcome);
  SetJsonAnswer(res, tree.get());
}
