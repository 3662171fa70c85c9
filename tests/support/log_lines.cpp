#include "tests/support/log_lines.h"

#include <algorithm>
#include <cctype>

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> logTexts(const std::string& log) {
  std::vector<std::string> texts;
  for (const std::string& line : splitLines(log)) {
    size_t digits = 0;
    while (line.size() > 1 + digits && isdigit(static_cast<unsigned char>(line[1 + digits]))) {
      ++digits;
    }
    const size_t prefix = 1 + std::max<size_t>(8, digits) + 1;
    const bool prefixed = line[0] == '+' && digits > 0 && line.size() >= prefix;
    texts.push_back(prefixed ? line.substr(prefix) : line);
  }
  return texts;
}

bool hasLine(const std::string& log, const std::string& text) {
  const auto texts = logTexts(log);
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

int countLinesStartingWith(const std::string& log, const std::string& start) {
  int n = 0;
  for (const std::string& text : logTexts(log)) n += text.rfind(start, 0) == 0 ? 1 : 0;
  return n;
}

std::string missingInOrder(const std::string& log, const std::vector<std::string>& expected) {
  const auto texts = logTexts(log);
  auto at = texts.begin();
  for (const std::string& line : expected) {
    const auto found = std::find(at, texts.end(), line);
    if (found == texts.end()) return line;
    at = found + 1;
  }
  return "";
}

// The length of the console bar drawn at text[at] ("%3.0f%% [", the '=' and ' ' columns,
// "]\r"), 0 when none starts there.
static size_t barAt(const std::string& text, size_t at) {
  size_t i = at;
  while (i < text.size() && (text[i] == ' ' || isdigit(static_cast<unsigned char>(text[i])))) ++i;
  if (i - at < 3 || text.compare(i, 3, "% [") != 0) return 0;
  i += 3;
  while (i < text.size() && text[i] == '=') ++i;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.compare(i, 2, "]\r") == 0 ? i + 2 - at : 0;
}

std::string withoutDownloadBars(const std::string& out) {
  std::string text;
  for (size_t i = 0; i < out.size();) {
    const size_t length = barAt(out, i);
    if (length > 0) {
      i += length;
    } else {
      text += out[i++];
    }
  }
  return text;
}

std::string lineAfter(const std::string& log, const std::string& start) {
  for (const std::string& text : logTexts(log)) {
    if (text.rfind(start, 0) == 0) return text.substr(start.size());
  }
  return "";
}
