#include "svg_writer.h"

#include "answer_text.h"
#include "text_safety.h"

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : DisplayText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

SvgElement::SvgElement(std::string* out, std::string_view name) : out_(out), name_(name) {
  *out_ += '<';
  *out_ += name_;
}

SvgElement& SvgElement::Attr(std::string_view name, const std::string& value) {
  *out_ += ' ';
  *out_ += name;
  *out_ += "=\"";
  *out_ += XmlEscape(value);
  *out_ += '"';
  return *this;
}

SvgElement& SvgElement::Attr(std::string_view name, double value) {
  return Attr(name, FixedText(value, 1));
}

void SvgElement::Close() { *out_ += "/>\n"; }

void SvgElement::Text(const std::string& text) {
  *out_ += '>';
  *out_ += XmlEscape(text);
  SvgEndTag(out_, name_);
}

void SvgElement::Open() { *out_ += ">\n"; }

void SvgEndTag(std::string* out, std::string_view name) {
  *out += "</";
  *out += name;
  *out += ">\n";
}
