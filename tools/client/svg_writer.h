// Writing SVG (or any XML) one element at a time, with every attribute
// value and every text escaped on the way in, so that no caller can leave
// a name or a colour from a file or the wire unescaped:
//
//   SvgElement(&out, "circle").Attr("cx", 12.5).Attr("fill", colour).Close();
//   SvgElement(&out, "text").Attr("x", 3.0).Text(driver);
//
// gives <circle cx="12.5" fill="..."/> and <text x="3.0">...</text>, each
// on a line of its own. Numbers are written with one decimal.
//
// Thread-safety: an element writes to the string it was given; one thread
// at a time.
#ifndef PITWALL_TOOLS_CLIENT_SVG_WRITER_H_
#define PITWALL_TOOLS_CLIENT_SVG_WRITER_H_

#include <string>
#include <string_view>

// The display form of `text` (text_safety.h) with & < > " ' as XML
// entities: only characters XML 1.0 allows, fit for an attribute or
// element text.
std::string XmlEscape(const std::string& text);

class SvgElement {
 public:
  // Starts `<name` at the end of *out.
  SvgElement(std::string* out, std::string_view name);
  SvgElement(const SvgElement&) = delete;
  SvgElement& operator=(const SvgElement&) = delete;

  // name="value", the value escaped.
  SvgElement& Attr(std::string_view name, const std::string& value);
  SvgElement& Attr(std::string_view name, const char* value) {
    return Attr(name, std::string(value));
  }
  // name="value" with one decimal.
  SvgElement& Attr(std::string_view name, double value);

  // Ends the element without content: "/>" and a line end.
  void Close();
  // Ends it with `text`, escaped, and its end tag.
  void Text(const std::string& text);
  // Ends its start tag and a line: what follows is its content, up to
  // SvgEndTag().
  void Open();

 private:
  std::string* out_;
  std::string_view name_;
};

// `</name>` and a line end.
void SvgEndTag(std::string* out, std::string_view name);

#endif  // PITWALL_TOOLS_CLIENT_SVG_WRITER_H_
