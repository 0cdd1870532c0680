// The text that names a source in messages: printable, and without the secrets a URL or a
// pipeline may carry.
#include <algorithm>
#include <cctype>
#include <string>

#include "capture/sources/sources.h"

std::string printableText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

bool namesSecret(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* word : {"pass", "pwd", "token", "key", "secret", "auth", "sig"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  // rtspsrc's user-pw and proxy-pw.
  return name == "pw" || (name.size() > 3 && (name.compare(name.size() - 3, 3, "-pw") == 0 ||
                                              name.compare(name.size() - 3, 3, "_pw") == 0));
}

}  // namespace

std::string withoutSecrets(const std::string& text) {
  // What ends a URL's authority, a name or a value, in a URL, a pipeline or a sentence.
  static const char kAuthorityEnd[] = "/?#&;, \t\n'\"!";
  static const char kValueEnd[] = "&;, \t\n'\"!#";
  // Inside a URL's settings, only & or the URL's end ends a value: SRT takes "my,secret!" or
  // "0123456789#tail" whole as a passphrase.
  static const char kUrlValueEnd[] = "& \t\n'\"";
  std::string out = text;
  // user:password@host: the password goes, with its colon. A URL typed with one slash or none
  // (http:/user:password@host) is taken for a file name, and said as one: its password goes too.
  for (std::size_t at = out.find(':'); at != std::string::npos; at = out.find(':', at + 1)) {
    std::size_t scheme = at;
    while (scheme > 0 &&
           (std::isalnum(static_cast<unsigned char>(out[scheme - 1])) || out[scheme - 1] == '+' ||
            out[scheme - 1] == '.' || out[scheme - 1] == '-')) {
      --scheme;
    }
    const bool named = scheme < at && std::isalpha(static_cast<unsigned char>(out[scheme]));
    if (!named && out.compare(at, 3, "://") != 0) continue;
    std::size_t start = at + 1;
    while (start < out.size() && out[start] == '/') ++start;
    const std::size_t end = std::min(out.find_first_of(kAuthorityEnd, start), out.size());
    const std::size_t mark = out.rfind('@', end - 1);
    if (end == start || mark == std::string::npos || mark < start) continue;
    const std::size_t colon = out.find(':', start);
    if (colon < mark) out.erase(colon, mark - colon);
  }
  // name=value, the name standing at the start or after a separator.
  for (std::size_t equals = out.find('='); equals != std::string::npos;
       equals = out.find('=', equals + 1)) {
    std::size_t name = equals;
    while (name > 0 && (std::isalnum(static_cast<unsigned char>(out[name - 1])) ||
                        out[name - 1] == '-' || out[name - 1] == '_')) {
      --name;
    }
    if (name == equals || !namesSecret(out.substr(name, equals - name))) continue;
    // A value may be typed, as GStreamer's structures write them, and quoted, the quote
    // itself escaped inside another quote.
    std::size_t start = equals + 1;
    if (out.compare(start, 1, "(") == 0 && out.find(')', start) != std::string::npos) {
      start = out.find(')', start) + 1;
    }
    const std::string quote = out.compare(start, 2, "\\\"") == 0 ? "\\\""
                              : out.compare(start, 1, "\"") == 0 ? "\""
                              : out.compare(start, 1, "'") == 0  ? "'"
                                                                 : "";
    start += quote.size();
    const std::size_t url = out.rfind("://", equals);
    const bool inUrl = url != std::string::npos && out.find('?', url) < equals &&
                       out.find_first_of(" \t\n'\"", url) > equals;
    const std::size_t end =
        std::min(quote.empty() ? out.find_first_of(inUrl ? kUrlValueEnd : kValueEnd, start)
                               : out.find(quote, start),
                 out.size());
    if (end > start) out.replace(start, end - start, "***");
  }
  return out;
}

std::string describeSource(const SourceChoice& choice) {
  const std::string location = printableText(withoutSecrets(choice.location));
  switch (choice.kind) {
    case SourceKind::camera:
      return "camera " + (location.empty() ? std::to_string(choice.cameraIndex) : location);
    case SourceKind::stream:
      return "stream " + location;
    case SourceKind::pipeline:
      return "pipeline '" + location + "'";
    case SourceKind::videoFile:
    case SourceKind::stillImage:
      break;
  }
  return "file " + location;
}
