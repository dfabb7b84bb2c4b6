// An ordered list of texts with CR LF joining and name=value access.
#pragma once

#include <vector>

#include "base/text.h"

namespace tessaly {

class TLineList {
 public:
  void Add(const Text& line) { lines_.push_back(line); }
  void InsertFirst(const Text& line) { lines_.insert(lines_.begin(), line); }
  void Insert(int index, const Text& line);
  void Delete(int index);
  const Text& operator[](int index) const { return lines_.at(static_cast<size_t>(index)); }
  Text& operator[](int index) { return lines_.at(static_cast<size_t>(index)); }
  int Count() const { return static_cast<int>(lines_.size()); }
  void Clear() { lines_.clear(); }
  const std::vector<Text>& Lines() const { return lines_; }

  // Every line followed by CR LF, the last one included.
  Text JoinedText() const;
  // Replaces the lines by those of text: a line ends at CR LF, a lone CR, a lone LF or a NUL;
  // a NUL also ends the text. A last line without an end still counts.
  void SetJoinedText(const Text& text);

  // Index of the first line whose text before its first "=" equals name, ignoring ASCII case;
  // -1 when there is none.
  int IndexOfName(const Text& name) const;
  // Text after the first "=" of that line; "" when absent.
  Text Value(const Text& name) const;
  // Sets that line to name=value, adding it at the end when absent; deletes it when value is "".
  void SetValue(const Text& name, const Text& value);
  // The name part of line index (text before its first "="; the whole line when it has none).
  Text NameAt(int index) const;
  Text ValueAt(int index) const;

 private:
  std::vector<Text> lines_;
};

}  // namespace tessaly
