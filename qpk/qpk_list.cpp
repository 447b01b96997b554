// list and info: what an unpack would create, and the summary of the file.
#include <cinttypes>
#include <cstdio>

#include "dlf/dlf.h"
#include "qpk/qpk_commands.h"
#include "qpk/qpk_json.h"
#include "qpk/qpk_output.h"

namespace {

const char* DirectoryOf(const QpkOptions& options) {
  return options.directoryGiven ? options.directory.c_str() : nullptr;
}

std::string Decimal(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  return text;
}

// Config and directories have no place on the disc.
bool HasDiscOffset(QpkItemKind kind) {
  return kind != ITEM_CONFIG && kind != ITEM_DIRECTORY;
}

// -l: offset, size, kind, name; a placeholder has no name of its own.
std::string LongLine(const QpkItem& item) {
  std::string offset = HasDiscOffset(item.kind) ? DiscOffsetText(item.discOffset) : "-";
  offset.resize(18, ' ');
  char columns[80];
  std::snprintf(columns, sizeof columns, "%s %12" PRIu64 " %-11s ", offset.c_str(), item.size,
                ItemKindWord(item.kind));
  std::string name = item.kind == ITEM_PLACEHOLDER ? "-" : Printable(item.name.c_str());
  return columns + name + "\n";
}

void JsonItem(JsonWriter* writer, const QpkItem& item) {
  JsonBeginObject(writer);
  JsonStringMember(writer, "kind", ItemKindWord(item.kind));
  if (item.kind == ITEM_PLACEHOLDER) {
    JsonNullMember(writer, "name");
  } else {
    JsonNameMember(writer, item.name);
  }
  if (HasDiscOffset(item.kind)) {
    JsonNumberMember(writer, "discOffset", item.discOffset);
    JsonStringMember(writer, "discOffsetHex", DiscOffsetText(item.discOffset));
  } else {
    JsonNullMember(writer, "discOffset");
  }
  JsonNumberMember(writer, "size", item.size);
  JsonSignedMember(writer, "fstEntry", item.fstEntry);
  JsonSignedMember(writer, "entry", item.entryIndex);
  JsonEndObject(writer);
}

// The verdict's message without the program name on each line.
std::string VerdictText(const std::string& message) {
  std::string text;
  for (const std::string& line : MessageReasons(message)) text += (text.empty() ? "" : "\n") + line;
  return text;
}

void JsonVerdict(JsonWriter* writer, const QpkInspection& inspection) {
  JsonBeginObject(writer, "verdict");
  bool ok = inspection.verdict.step == STEP_NONE;
  JsonBoolMember(writer, "ok", ok);
  if (!ok) JsonStringMember(writer, "message", VerdictText(inspection.verdict.message));
  JsonEndObject(writer);
}

void FinishJson(JsonWriter* writer, const QpkInspection& inspection) {
  JsonVerdict(writer, inspection);
  JsonEndObject(writer);
  PrintOut(writer->text + "\n");
}

int ListJson(QpkInspection* inspection) {
  JsonWriter writer;
  JsonBeginObject(&writer);
  JsonNameMember(&writer, inspection->qpkPath);
  JsonBeginArray(&writer, "items");
  // Written as it goes: a large table never sits in memory as text.
  ForEachQpkItem(inspection, [&](const QpkItem& item) {
    JsonItem(&writer, item);
    PrintOut(writer.text);
    writer.text.clear();
  });
  JsonEndArray(&writer);
  FinishJson(&writer, *inspection);
  return ReportVerdict(*inspection);
}

struct SummaryLine {
  const char* label;  // the text form's; the JSON member is `key`
  const char* key;
  uint64_t value;
  bool hex;
};

// The summary's facts that are known, in the order they are printed.
std::vector<SummaryLine> SummaryLines(const QpkInspection& inspection, const QpkSummary& s) {
  std::vector<SummaryLine> lines;
  if (s.entriesKnown) {
    lines.insert(lines.end(), {{"entries", "entries", s.entries, false},
                               {"stored entries", "storedEntries", s.storedEntries, false},
                               {"placeholders", "placeholders", s.placeholders, false},
                               {"config size", "configSize", s.configSize, false},
                               {"data region size", "dataRegionSize", s.dataRegionSize, false},
                               {"file size", "fileSize", s.fileSize, false},
                               {"disc extent", "discExtent", s.discExtent, false}});
  }
  if (s.tableKnown) {
    lines.insert(lines.end(),
                 {{"table offset", "fstDiscOffset", s.fstDiscOffset, true},
                  {"table length", "fstLength", s.fstLength, false},
                  {"table files", "tableFiles", s.tableFiles, false},
                  {"table directories", "tableDirectories", s.tableDirectories, false},
                  {"empty directories", "emptyDirectories", s.emptyDirectories, false}});
  }
  // Without a plan (the qpk file could not be opened) there is nothing to count.
  if (!inspection.planned) return lines;
  lines.insert(lines.end(), {{"files written", "filesWritten", inspection.filesWritten, false},
                             {"folders made", "foldersMade", inspection.foldersMade, false},
                             {"bytes written", "bytesWritten", inspection.bytesWritten, false}});
  return lines;
}

int InfoText(const QpkInspection& inspection, const std::vector<SummaryLine>& lines) {
  for (const SummaryLine& line : lines) {
    std::string value = line.hex ? DiscOffsetText(line.value) : Decimal(line.value);
    PrintOut(std::string(line.label) + ": " + value + "\n");
  }
  bool ok = inspection.verdict.step == STEP_NONE;
  PrintOut(ok ? "unpack: OK\n" : "unpack: fails\n");
  return ReportVerdict(inspection);
}

int InfoJson(const QpkInspection& inspection, const std::vector<SummaryLine>& lines) {
  JsonWriter writer;
  JsonBeginObject(&writer);
  JsonNameMember(&writer, inspection.qpkPath);
  for (const SummaryLine& line : lines) JsonNumberMember(&writer, line.key, line.value);
  FinishJson(&writer, inspection);
  return ReportVerdict(inspection);
}

}  // namespace

const char* ItemKindWord(QpkItemKind kind) {
  static const char* const WORDS[] = {"config", "file", "system", "placeholder", "directory"};
  return WORDS[kind];
}

int ReportVerdict(const QpkInspection& inspection) {
  if (inspection.verdict.step == STEP_NONE) return 0;
  PrintFileMessage(inspection.qpkPath, inspection.verdict.message);
  return 1;
}

int RunList(const QpkOptions& options) {
  QpkInspection inspection;
  InspectQpk(options.operands[0].c_str(), DirectoryOf(options), &inspection);
  if (options.json) return ListJson(&inspection);
  ForEachQpkItem(&inspection, [&](const QpkItem& item) {
    if (options.longFormat) {
      PrintOut(LongLine(item));
    } else if (item.kind != ITEM_PLACEHOLDER) {
      PrintOut(Printable(item.name.c_str()) + "\n");
    }
  });
  return ReportVerdict(inspection);
}

int RunInfo(const QpkOptions& options) {
  QpkInspection inspection;
  InspectQpk(options.operands[0].c_str(), DirectoryOf(options), &inspection);
  QpkSummary summary = {};
  SummarizeQpk(&inspection, &summary);
  std::vector<SummaryLine> lines = SummaryLines(inspection, summary);
  return options.json ? InfoJson(inspection, lines) : InfoText(inspection, lines);
}
