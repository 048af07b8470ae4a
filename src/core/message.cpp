// Formatting of catalogue messages for the typed calls of message.hpp: the
// text is read conversion by conversion and each conversion gets its argument
// in exactly the type it asks for.
#include "core/message.hpp"

#include <cstring>

#include "core/velmora.hpp"

namespace core {

namespace msgdetail {

namespace {

// Appends one conversion, the format fmt (without its length letters), applied to the
// argument converted as the length modifier and the conversion letter ask.
template <class T>
void put(std::string& out, const std::string& fmt, T value) {
  char small[512];
  int len = std::snprintf(small, sizeof small, fmt.c_str(), value);
  if (len < 0) return;
  if (static_cast<size_t>(len) < sizeof small) {
    out.append(small, static_cast<size_t>(len));
    return;
  }
  std::string big(static_cast<size_t>(len) + 1, '\0');
  std::snprintf(big.data(), big.size(), fmt.c_str(), value);
  out.append(big.data(), static_cast<size_t>(len));
}

void putinteger(std::string& out, const std::string& base, const std::string& length, char conv,
                long long v) {
  std::string fmt = base + length + conv;
  bool unsig = conv != 'd' && conv != 'i';
  if (length == "hh") {
    if (unsig)
      put(out, fmt, static_cast<unsigned>(static_cast<unsigned char>(v)));
    else
      put(out, fmt, static_cast<int>(static_cast<signed char>(v)));
  } else if (length == "h") {
    if (unsig)
      put(out, fmt, static_cast<unsigned>(static_cast<unsigned short>(v)));
    else
      put(out, fmt, static_cast<int>(static_cast<short>(v)));
  } else if (length == "l") {
    if (unsig)
      put(out, fmt, static_cast<unsigned long>(v));
    else
      put(out, fmt, static_cast<long>(v));
  } else if (length == "ll" || length == "q" || length == "j") {
    fmt = base + "ll" + conv;
    if (unsig)
      put(out, fmt, static_cast<unsigned long long>(v));
    else
      put(out, fmt, v);
  } else if (length == "z" || length == "t") {
    fmt = base + "l" + conv;
    if (unsig)
      put(out, fmt, static_cast<unsigned long>(v));
    else
      put(out, fmt, static_cast<long>(v));
  } else {
    fmt = base + conv;
    if (unsig)
      put(out, fmt, static_cast<unsigned>(v));
    else
      put(out, fmt, static_cast<int>(v));
  }
}

}  // namespace

std::string format(int n, const Arg* args, int nargs) {
  const char* text = errmsg(n);
  std::string out;
  int next = 0;
  for (const char* p = text; *p != 0; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    const char* q = p + 1;
    while (*q != 0 && std::strchr("-+ #0", *q) != nullptr) ++q;
    while (*q >= '0' && *q <= '9') ++q;
    if (*q == '.') {
      ++q;
      while (*q >= '0' && *q <= '9') ++q;
    }
    std::string base(p, static_cast<size_t>(q - p));
    const char* lengthstart = q;
    while (*q != 0 && std::strchr("hlLqjzt", *q) != nullptr) ++q;
    std::string length(lengthstart, static_cast<size_t>(q - lengthstart));
    char conv = *q;
    const Arg* a = next < nargs ? &args[next] : nullptr;
    bool done = false;
    if (conv != 0 && std::strchr("diouxX", conv) != nullptr && a != nullptr && a->kind == 'd') {
      putinteger(out, base, length, conv, a->i);
      done = true;
    } else if (conv == 'c' && a != nullptr && a->kind == 'd') {
      put(out, base + 'c', static_cast<int>(static_cast<unsigned char>(a->i)));
      done = true;
    } else if (conv != 0 && std::strchr("eEfFgGaA", conv) != nullptr && a != nullptr &&
               a->kind == 'f') {
      put(out, base + conv, a->f);
      done = true;
    } else if (conv == 's' && a != nullptr && a->kind == 's') {
      put(out, base + 's', a->s != nullptr ? a->s : "(null)");
      done = true;
    }
    if (done) {
      ++next;
      p = q;
    } else {
      // No fitting argument: the conversion is printed as it stands.
      size_t len = static_cast<size_t>(q - p) + (conv != 0 ? 1 : 0);
      out.append(p, len);
      p += len - 1;
    }
  }
  return out;
}

void write(FILE* stream, int n, const Arg* args, int nargs) {
  std::string text = format(n, args, nargs);
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace msgdetail

}  // namespace core
