#include "qpk/qpk_options.h"

#include <cstring>

#include "base/base.h"

namespace {

// Options: a short letter (or 0), a long name, whether a value follows, and
// the commands that take it (a bit per command; help and version: all).
struct OptionRule {
  char letter;
  const char* name;
  bool takesValue;
  unsigned commands;
};

unsigned Bit(QpkCommand command) {
  return 1u << command;
}

const unsigned ALL_COMMANDS = ~0u;

const OptionRule OPTIONS[] = {
    {'l', "long", false, 1u << CMD_LIST},
    {0, "json", false, (1u << CMD_LIST) | (1u << CMD_INFO)},
    {'e', "directory", true, (1u << CMD_LIST) | (1u << CMD_INFO) | (1u << CMD_CHECK)},
    {0, "strict", false, 1u << CMD_CHECK},
    {'o', "output", true, 1u << CMD_CAT},
    {'f', "force", false, 1u << CMD_CAT},
    {'h', "help", false, ALL_COMMANDS},
    {0, "version", false, ALL_COMMANDS},
};

struct Parser {
  int argc;
  char** argv;
  int next;
  QpkOptions* options;
  std::string* mistake;
  std::vector<const OptionRule*> seen;  // checked against the command at the end
  std::vector<std::string> spellings;
};

bool Mistake(Parser* parser, const std::string& text) {
  *parser->mistake = text;
  return false;
}

const OptionRule* FindLetter(char letter) {
  for (const OptionRule& rule : OPTIONS)
    if (rule.letter != 0 && rule.letter == letter) return &rule;
  return nullptr;
}

// An exact long name, or the only one that begins with `name`.
const OptionRule* FindLong(const std::string& name, bool* ambiguous) {
  const OptionRule* found = nullptr;
  *ambiguous = false;
  for (const OptionRule& rule : OPTIONS) {
    if (name == rule.name) return &rule;
    if (std::strncmp(rule.name, name.c_str(), name.size()) == 0) {
      if (found != nullptr) *ambiguous = true;
      found = &rule;
    }
  }
  return *ambiguous ? nullptr : found;
}

void Apply(Parser* parser, const OptionRule& rule, const std::string& value,
           const std::string& spelling) {
  QpkOptions* options = parser->options;
  parser->seen.push_back(&rule);
  parser->spellings.push_back(spelling);
  switch (rule.name[0]) {
    case 'l':
      options->longFormat = true;
      break;
    case 'j':
      options->json = true;
      break;
    case 'd':
      options->directoryGiven = true;
      options->directory = value;
      break;
    case 's':
      options->strict = true;
      break;
    case 'o':
      options->outputGiven = true;
      options->output = value;
      break;
    case 'f':
      options->force = true;
      break;
    case 'h':
      options->help = true;
      break;
    default:
      options->version = true;
      break;
  }
}

bool ParseLong(Parser* parser, const char* word) {
  const char* equals = std::strchr(word + 2, '=');
  std::string name = equals ? std::string(word + 2, equals) : std::string(word + 2);
  bool ambiguous;
  const OptionRule* rule = FindLong(name, &ambiguous);
  if (ambiguous) return Mistake(parser, "option '--" + Printable(name.c_str()) + "' is ambiguous");
  if (rule == nullptr)
    return Mistake(parser, "unrecognized option '--" + Printable(name.c_str()) + "'");
  std::string spelling = std::string("--") + rule->name;
  if (!rule->takesValue) {
    if (equals) return Mistake(parser, "option '" + spelling + "' doesn't allow an argument");
    Apply(parser, *rule, "", spelling);
    return true;
  }
  if (equals) {
    Apply(parser, *rule, equals + 1, spelling);
    return true;
  }
  if (parser->next >= parser->argc)
    return Mistake(parser, "option '" + spelling + "' requires an argument");
  Apply(parser, *rule, parser->argv[parser->next++], spelling);
  return true;
}

bool ParseShort(Parser* parser, const char* word) {
  for (const char* letter = word + 1; *letter != '\0'; ++letter) {
    const OptionRule* rule = FindLetter(*letter);
    std::string shown = Printable(std::string(1, *letter).c_str());
    if (rule == nullptr) return Mistake(parser, "invalid option -- '" + shown + "'");
    std::string spelling = std::string("-") + *letter;
    if (!rule->takesValue) {
      Apply(parser, *rule, "", spelling);
      continue;
    }
    if (letter[1] != '\0') {
      Apply(parser, *rule, letter + 1, spelling);
      return true;
    }
    if (parser->next >= parser->argc)
      return Mistake(parser, "option requires an argument -- '" + shown + "'");
    Apply(parser, *rule, parser->argv[parser->next++], spelling);
    return true;
  }
  return true;
}

// The first operand is the command word; the others follow it.
bool TakeOperand(Parser* parser, const char* word) {
  QpkOptions* options = parser->options;
  if (options->command != CMD_NONE) {
    options->operands.push_back(word);
    return true;
  }
  options->command = CommandNamed(word);
  if (options->command == CMD_NONE)
    return Mistake(parser, "unknown command '" + Printable(word) + "'");
  return true;
}

bool ScanWords(Parser* parser) {
  bool optionsEnded = false;
  while (parser->next < parser->argc) {
    const char* word = parser->argv[parser->next++];
    bool ok = true;
    if (optionsEnded || word[0] != '-' || word[1] == '\0') {
      ok = TakeOperand(parser, word);
    } else if (std::strcmp(word, "--") == 0) {
      optionsEnded = true;
    } else if (word[1] == '-') {
      ok = ParseLong(parser, word);
    } else {
      ok = ParseShort(parser, word);
    }
    if (!ok) return false;
  }
  return true;
}

// Every option given must belong to the command.
bool CheckOptionsFitCommand(Parser* parser) {
  QpkCommand command = parser->options->command;
  if (command == CMD_NONE) return true;
  for (size_t i = 0; i < parser->seen.size(); ++i) {
    if ((parser->seen[i]->commands & Bit(command)) == 0)
      return Mistake(parser, "option '" + parser->spellings[i] + "' is not valid for '" +
                                 CommandName(command) + "'");
  }
  return true;
}

}  // namespace

QpkCommand CommandNamed(const std::string& word) {
  for (int command = CMD_LIST; command <= CMD_HELP; ++command)
    if (word == CommandName(static_cast<QpkCommand>(command)))
      return static_cast<QpkCommand>(command);
  return CMD_NONE;
}

const char* CommandName(QpkCommand command) {
  static const char* const NAMES[] = {"", "list", "info", "check", "cat", "help"};
  return NAMES[command];
}

bool ParseQpkOptions(int argc, char** argv, QpkOptions* options, std::string* mistake) {
  Parser parser{argc, argv, 1, options, mistake, {}, {}};
  return ScanWords(&parser) && CheckOptionsFitCommand(&parser);
}
