#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/readout.h"
#include "report/report.h"

namespace {

void append_list(std::string& text, const char* format, va_list arguments) {
  va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length <= 0) return;
  const size_t start = text.size();
  text.resize(start + static_cast<size_t>(length) + 1);
  std::vsnprintf(text.data() + start, static_cast<size_t>(length) + 1, format, arguments);
  text.resize(start + static_cast<size_t>(length));
}

std::string utf8_from_wide(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
  return result;
}

}  // namespace

void append(std::string& text, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  append_list(text, format, arguments);
  va_end(arguments);
}

void comment(std::string& text, const char* format, ...) {
  // A call that crashed or hung can break a scenario line off half written.
  if (!text.empty() && text.back() != '\n') text += '\n';
  const size_t start = text.size();
  text += "# ";
  va_list arguments;
  va_start(arguments, format);
  append_list(text, format, arguments);
  va_end(arguments);
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] == ';') text[i] = ',';
    if (text[i] == '\n' || text[i] == '\r') text[i] = ' ';
  }
  text += '\n';
}

std::string quoted(const char* bytes, size_t length) {
  std::string text = "\"";
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += static_cast<char>(byte);
    } else if (byte < 0x20 || byte > 0x7E || byte == ';' || byte == '#') {
      append(text, "\\x%02X", byte);
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text + "\"";
}

size_t field_length(const char* field, size_t size) { return strnlen(field, size); }

std::string utf8_from_ansi(const char* bytes, size_t length) {
  if (length == 0) return {};
  const int wide = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), nullptr, 0);
  if (wide <= 0) return {};
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(length), text.data(), wide);
  return utf8_from_wide(text.data(), wide);
}

std::string utf8_from_wide(const wchar_t* text) {
  return text ? utf8_from_wide(text, static_cast<int>(wcslen(text))) : std::string();
}

// The monitor's own label text, built in the facade's text area as the rows build it.
std::string label_text(int32_t celsius) {
  const size_t start = text_position();
  readout_append(celsius);
  std::string text = utf8_from_wide(text_at(start));
  text_set_position(start);
  return text;
}

void row_line(std::string& rows, int32_t row, const char* name, size_t length,
              const std::string& label) {
  comment(rows, "row %d %s: %s", row, quoted(name, length).c_str(), label.c_str());
}
