// Decisions about the data directory and the files the store writes in it.
#include "common/store_directory.h"

namespace {

bool IsTrusted(Principal who) {
  return who == Principal::kSystem || who == Principal::kAdministrators || who == Principal::kOwnAccount;
}

// True when no allow entry lets anyone but SYSTEM and Administrators create,
// change, delete or re-permission anything in the directory.
bool OnlyTrustedMayChange(const std::vector<AccessEntryFacts>& entries) {
  for (const AccessEntryFacts& entry : entries) {
    if (!entry.allow || IsTrusted(entry.who)) continue;
    if ((entry.mask & ~kReadAndExecuteRights) != 0) return false;
  }
  return true;
}

}  // namespace

DirectoryJudgement JudgeDataDirectory(const DirectoryFacts& facts) {
  // A link is never followed, whoever made it: its target is not ours to secure.
  if (facts.isReparsePoint) return {DirectoryVerdict::kRefuse, StoreRefusal::kReparsePoint};
  if (!facts.isDirectory) return {DirectoryVerdict::kRefuse, StoreRefusal::kNotADirectory};
  if (!facts.owner || !IsTrusted(*facts.owner)) return {DirectoryVerdict::kReplace};
  // A null DACL let everyone open it with every right, so the same holds as for
  // a user's directory.
  if (!facts.daclPresent) return {DirectoryVerdict::kReplace};
  if (facts.daclProtected && OnlyTrustedMayChange(facts.entries)) return {DirectoryVerdict::kUse};
  return {DirectoryVerdict::kSecureInPlace};
}

StoreRefusal JudgeStoreFile(const StoreFileFacts& facts) {
  if (facts.oplockBreakPending) return StoreRefusal::kOplocked;
  if (facts.isReparsePoint) return StoreRefusal::kReparsePoint;
  if (facts.isDirectory || !facts.isDiskFile) return StoreRefusal::kNotAFile;
  // A second name could lie outside the directory: writing would change that file.
  if (facts.links > 1) return StoreRefusal::kHardLinked;
  if (!facts.atExpectedPath) return StoreRefusal::kElsewhere;
  return StoreRefusal::kNone;
}

std::wstring AsideDirectoryName(const std::wstring& path, const std::wstring& stamp, int attempt) {
  std::wstring name = path + L".refused-" + stamp;
  if (attempt > 1) name += L"-" + std::to_wstring(attempt);
  return name;
}

const char* RefusalText(StoreRefusal reason) {
  switch (reason) {
    case StoreRefusal::kNone:
      return "accepted";
    case StoreRefusal::kReparsePoint:
      return "a link or junction, not followed";
    case StoreRefusal::kNotADirectory:
      return "not a directory";
    case StoreRefusal::kNotAFile:
      return "not a plain file";
    case StoreRefusal::kHardLinked:
      return "a file with other hard links";
    case StoreRefusal::kCannotOpen:
      return "cannot be opened";
    case StoreRefusal::kCannotSecure:
      return "its owner and access list cannot be set";
    case StoreRefusal::kCannotMoveAside:
      return "made by another user and cannot be renamed aside";
    case StoreRefusal::kElsewhere:
      return "opened somewhere else than its place in the directory";
    case StoreRefusal::kOplocked:
      return "held by another program's opportunistic lock, skipped for this pass";
    case StoreRefusal::kTooLarge:
      return "larger than the store reads";
  }
  return "refused";
}
