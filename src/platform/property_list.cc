#include "platform/property_list.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace tellwyn {
namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void appendUtf8(std::string& out, std::uint32_t code) {
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

// Decodes character data: entities and character references.
std::optional<std::string> decodeText(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  while (!raw.empty()) {
    const auto amp = raw.find('&');
    out += raw.substr(0, amp);
    if (amp == std::string_view::npos) break;
    raw.remove_prefix(amp + 1);
    const auto semi = raw.find(';');
    if (semi == std::string_view::npos) return std::nullopt;
    const std::string_view name = raw.substr(0, semi);
    raw.remove_prefix(semi + 1);
    if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.size() > 1 && name[0] == '#') {
      std::string_view digits = name.substr(1);
      int base = 10;
      if (digits.starts_with('x')) {
        base = 16;
        digits.remove_prefix(1);
      }
      std::uint32_t code = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), code, base);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
          code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return std::nullopt;
      }
      appendUtf8(out, code);
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// A cursor over the document that hands out tags and the text between them.
class PlistReader {
 public:
  explicit PlistReader(std::string_view xml) : rest_(xml) {}

  // Skips white space, the XML declaration, processing instructions,
  // comments and the DOCTYPE. False on an unterminated one.
  bool skipMisc() {
    for (;;) {
      while (!rest_.empty() && isXmlSpace(rest_.front())) rest_.remove_prefix(1);
      std::string_view close;
      if (rest_.starts_with("<?")) {
        close = "?>";
      } else if (rest_.starts_with("<!--")) {
        close = "-->";
      } else if (rest_.starts_with("<!")) {
        close = ">";
      } else {
        return true;
      }
      const auto end = rest_.find(close);
      if (end == std::string_view::npos) return false;
      rest_.remove_prefix(end + close.size());
    }
  }

  // The next tag's text between '<' and '>' (for example "key", "/key",
  // "true/", "plist version=\"1.0\""), or none.
  std::optional<std::string_view> nextTag() {
    if (!skipMisc() || !rest_.starts_with('<')) return std::nullopt;
    const auto end = rest_.find('>');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view tag = rest_.substr(1, end - 1);
    rest_.remove_prefix(end + 1);
    return tag;
  }

  // The decoded text up to the closing tag `</name>`, which is consumed.
  std::optional<std::string> textUntilClose(std::string_view name) {
    const auto end = rest_.find('<');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view raw = rest_.substr(0, end);
    rest_.remove_prefix(end);
    if (!closeTagFollows(name)) return std::nullopt;
    return decodeText(raw);
  }

  // Whether the next tag closes `name` (`</name>`); it is consumed either way.
  bool closeTagFollows(std::string_view name) {
    const auto close = nextTag();
    return close && close->starts_with('/') && tagName(close->substr(1)) == name;
  }

  bool atEnd() { return skipMisc() && rest_.empty(); }

  // The element name of a tag's text: up to white space or '/'.
  static std::string_view tagName(std::string_view tag) {
    std::size_t n = 0;
    while (n < tag.size() && !isXmlSpace(tag[n]) && tag[n] != '/') ++n;
    return tag.substr(0, n);
  }

 private:
  std::string_view rest_;
};

std::optional<std::int64_t> parseInteger(const std::string& text) {
  std::string_view digits = text;
  while (!digits.empty() && isXmlSpace(digits.front())) digits.remove_prefix(1);
  while (!digits.empty() && isXmlSpace(digits.back())) digits.remove_suffix(1);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> parseReal(const std::string& text) {
  std::string_view digits = text;
  while (!digits.empty() && isXmlSpace(digits.front())) digits.remove_prefix(1);
  while (!digits.empty() && isXmlSpace(digits.back())) digits.remove_suffix(1);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

// Reads one value whose opening tag has been read.
std::optional<InfoValue> readValue(PlistReader& reader, std::string_view tag) {
  const std::string_view name = PlistReader::tagName(tag);
  const bool selfClosing = tag.ends_with('/');
  if (name == "true" || name == "false") {
    if (!selfClosing && !reader.closeTagFollows(name)) return std::nullopt;
    return InfoValue{name == "true"};
  }
  if (name == "string") {
    if (selfClosing) return InfoValue{std::string()};
    auto text = reader.textUntilClose(name);
    if (!text) return std::nullopt;
    return InfoValue{std::move(*text)};
  }
  if ((name == "integer" || name == "real") && !selfClosing) {
    const auto text = reader.textUntilClose(name);
    if (!text) return std::nullopt;
    if (name == "integer") {
      const auto value = parseInteger(*text);
      if (!value) return std::nullopt;
      return InfoValue{*value};
    }
    const auto value = parseReal(*text);
    if (!value) return std::nullopt;
    return InfoValue{*value};
  }
  return std::nullopt;
}

}  // namespace

std::optional<InfoDictionary> parseInfoPlist(std::string_view xml) {
  PlistReader reader(xml);
  auto tag = reader.nextTag();
  if (!tag || PlistReader::tagName(*tag) != "plist" || tag->ends_with('/')) return std::nullopt;
  tag = reader.nextTag();
  if (!tag) return std::nullopt;
  InfoDictionary dictionary;
  if (*tag != "dict/") {
    if (PlistReader::tagName(*tag) != "dict") return std::nullopt;
    for (;;) {
      tag = reader.nextTag();
      if (!tag) return std::nullopt;
      if (*tag == "/dict") break;
      if (*tag != "key") return std::nullopt;
      auto key = reader.textUntilClose("key");
      if (!key) return std::nullopt;
      const auto valueTag = reader.nextTag();
      if (!valueTag) return std::nullopt;
      auto value = readValue(reader, *valueTag);
      if (!value) return std::nullopt;
      dictionary.insert_or_assign(std::move(*key), std::move(*value));
    }
  }
  tag = reader.nextTag();
  if (!tag || *tag != "/plist" || !reader.atEnd()) return std::nullopt;
  return dictionary;
}

}  // namespace tellwyn
