#include "app/qtext.h"

namespace tessaly {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

// Length of the well-formed UTF-8 sequence at text[i] (no overlong forms, no surrogates, at most
// U+10FFFF), with its code point; 0 when the bytes there form none.
size_t Utf8Sequence(const Text& text, size_t i, char32_t& code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  char32_t lowest = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendUtf8(Text& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

QString ToQString(const Text& text) {
  QString result;
  result.reserve(static_cast<qsizetype>(text.size()));
  for (size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const size_t length = Utf8Sequence(text, i, code);
    if (length == 0) {
      result += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(text[i])));
      ++i;
      continue;
    }
    if (QChar::requiresSurrogates(code)) {
      result += QChar(QChar::highSurrogate(code));
      result += QChar(QChar::lowSurrogate(code));
    } else {
      result += QChar(static_cast<char16_t>(code));
    }
    i += length;
  }
  return result;
}

Text ToText(const QString& text) {
  Text result;
  result.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      AppendUtf8(result, QChar::surrogateToUcs4(unit, text[++i].unicode()));
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      result += static_cast<char>(unit - kEscapeBase);
    } else if (QChar::isSurrogate(unit)) {
      AppendUtf8(result, QChar::ReplacementCharacter);  // has no bytes of its own
    } else {
      AppendUtf8(result, unit);
    }
  }
  return result;
}

QString TitleText(const QString& text) {
  QString title = text;
  title.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
  return title;
}

}  // namespace tessaly
