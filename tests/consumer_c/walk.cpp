// walk PACKAGE: prints the package as one JSON document through the C API alone, which must
// equal torv-package json --data=hex: every member of every record, in the model's order,
// walked from the header's member lists (TP_RECORDS and TP_<RECORD>_FIELDS) without naming
// a field, so that a field added to the schema is walked, and compared, unchanged.
#include <cstdio>
#include <string>

#include <torv_package/torv_package.h>

namespace {

std::string out;

void quoted(const char* text, std::size_t size) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void value(std::uint32_t number) { out += std::to_string(number); }
void value(std::uint64_t number) { out += std::to_string(number); }
void value(tp_text text) { quoted(text.data, text.size); }
void value(const char* name) { quoted(name, std::char_traits<char>::length(name)); }
void value(tp_bytes bytes) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < bytes.size; ++i) {
    out += hex[bytes.data[i] >> 4];
    out += hex[bytes.data[i] & 15];
  }
  out += '"';
}

#define DECLARE(handle, members) void value(handle record);
TP_RECORDS(DECLARE)

template <class Count, class At>
void list(Count count, At at) {
  out += '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    value(at(i));
  }
  out += ']';
}

#define MEMBER(record_name, member, KIND, type) \
  out += first ? "" : ",";                      \
  first = false;                                \
  quoted(#member, sizeof #member - 1);          \
  out += ':';                                   \
  MEMBER_##KIND(record_name, member, type)
#define MEMBER_NUMBER(record_name, member, type) value(tp_##record_name##_##member(record));
#define MEMBER_TEXT MEMBER_NUMBER
#define MEMBER_DATA MEMBER_NUMBER
#define MEMBER_RECORD MEMBER_NUMBER
#define MEMBER_ENUM(record_name, member, type) value(type##_name(tp_##record_name##_##member(record)));
#define MEMBER_NUMBER_LIST(record_name, member, type) \
  list(tp_##record_name##_##member##_count(record),   \
       [&](std::size_t i) { return tp_##record_name##_##member##_at(record, i); });
#define MEMBER_RECORD_LIST MEMBER_NUMBER_LIST

#define DEFINE(handle, members) \
  void value(handle record) {   \
    bool first = true;          \
    out += '{';                 \
    members(MEMBER) out += '}'; \
  }
TP_RECORDS(DEFINE)

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: walk <package>\n", stderr);
    return 2;
  }
  tp_view* view = nullptr;
  tp_error* error = nullptr;
  if (tp_view_open(argv[1], &view, &error) != 0) {
    std::fprintf(stderr, "walk: %s: %s\n", tp_error_location(error), tp_error_debug(error));
    tp_error_free(error);
    return 1;
  }
  value(tp_view_application(view));
  tp_view_close(view);
  out += '\n';
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
