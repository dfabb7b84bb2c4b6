#include "base/linelist.h"

namespace tessaly {

void TLineList::Insert(int index, const Text& line) {
  lines_.insert(lines_.begin() + index, line);
}

void TLineList::Delete(int index) {
  lines_.erase(lines_.begin() + index);
}

Text TLineList::JoinedText() const {
  size_t size = 0;
  for (const Text& line : lines_) size += line.size() + 2;
  Text text;
  text.reserve(size);
  for (const Text& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void TLineList::SetJoinedText(const Text& text) {
  lines_.clear();
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\0') break;
    if (c == '\r' || c == '\n') {
      lines_.push_back(text.substr(start, i - start));
      // CR LF is one line end; LF CR is two.
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
      continue;
    }
    ++i;
  }
  if (i > start) lines_.push_back(text.substr(start, i - start));
}

int TLineList::IndexOfName(const Text& name) const {
  const Text wanted = LowerAscii(name);
  for (int i = 0; i < Count(); ++i) {
    const Text& line = lines_[static_cast<size_t>(i)];
    const size_t eq = line.find('=');
    if (eq != Text::npos && LowerAscii(line.substr(0, eq)) == wanted) return i;
  }
  return -1;
}

Text TLineList::Value(const Text& name) const {
  const int i = IndexOfName(name);
  return i < 0 ? Text() : ValueAt(i);
}

void TLineList::SetValue(const Text& name, const Text& value) {
  const int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  if (i >= 0) {
    lines_[static_cast<size_t>(i)] = name + "=" + value;
  } else {
    lines_.push_back(name + "=" + value);
  }
}

Text TLineList::NameAt(int index) const {
  return TextBefore((*this)[index], "=");
}

Text TLineList::ValueAt(int index) const {
  const Text& line = (*this)[index];
  const size_t eq = line.find('=');
  return eq == Text::npos ? Text() : line.substr(eq + 1);
}

}  // namespace tessaly
