// Typed calls of the message catalogue (data/err.msg).
//
// Every message number a module prints is registered beside the module, in
// <module>.def, one line MSG(<signed number>, "<kinds>") with one letter per
// printf conversion of the catalogue text, in order: d integer, c character,
// f floating point, s text. The build merges every registry under src/ into
// one table, and these calls check their arguments against it at compile time:
// an unregistered number, a wrong count or a wrong type of argument does not
// compile.
//
//   core::message<57>(dir);            message 57 on standard output
//   core::message_to<57>(stderr, dir);  the same on another stream
//   core::fatal<-2>(dir);              message -2, then the end with status 2
//   std::string t = core::message_text<253>(k);   the formatted text
//
// Arguments: d and c take an integral type (not bool), f a floating-point
// type, s a char pointer, a char array or a std::string. The text is formatted
// conversion by conversion with the argument converted to the type the
// conversion asks for, so a catalogue edited by hand can never make a call
// read past its arguments: a conversion without a fitting argument is
// printed as written.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/fatal.hpp"

namespace core {

namespace msgdetail {

// The registered conversions of message N; known is false for a number no
// registry lists.
template <int N>
struct Registered {
  static constexpr bool known = false;
  static constexpr std::string_view kinds = "";
};

#define KALVO_REGISTERED(n, k)                   \
  template <>                                    \
  struct Registered<n> {                         \
    static constexpr bool known = true;          \
    static constexpr std::string_view kinds = k; \
  };
#include "core/msgregistry.inc"
#undef KALVO_REGISTERED

template <class T>
constexpr char kind_of() {
  using D = std::remove_cvref_t<T>;
  // A bool fits no conversion (it falls through to the end).
  if constexpr (std::is_integral_v<D> && !std::is_same_v<D, bool>) {
    return 'd';
  } else if constexpr (std::is_floating_point_v<D>) {
    return 'f';
  } else if constexpr (std::is_same_v<std::decay_t<D>, char*> ||
                       std::is_same_v<std::decay_t<D>, const char*> ||
                       std::is_same_v<D, std::string>) {
    return 's';
  } else {
    return '?';
  }
}

template <class... A>
constexpr bool fits(std::string_view kinds) {
  constexpr char given[] = {kind_of<A>()..., 0};
  if (kinds.size() != sizeof...(A)) return false;
  for (size_t i = 0; i < kinds.size(); ++i) {
    char want = kinds[i] == 'c' ? 'd' : kinds[i];
    if (given[i] != want) return false;
  }
  return true;
}

// One argument, as the formatter takes it.
struct Arg {
  char kind;  // 'd', 'f' or 's'
  long long i;
  double f;
  const char* s;
};

template <class T>
Arg arg(const T& v) {
  using D = std::remove_cvref_t<T>;
  if constexpr (std::is_integral_v<D>) {
    return Arg{'d', static_cast<long long>(v), 0.0, nullptr};
  } else if constexpr (std::is_floating_point_v<D>) {
    return Arg{'f', 0, static_cast<double>(v), nullptr};
  } else if constexpr (std::is_same_v<D, std::string>) {
    return Arg{'s', 0, 0.0, v.c_str()};
  } else {
    return Arg{'s', 0, 0.0, v};
  }
}

// The catalogue text of message n formatted with the arguments.
std::string format(int n, const Arg* args, int nargs);
void write(FILE* stream, int n, const Arg* args, int nargs);

template <int N, class... A>
constexpr void check() {
  static_assert(Registered<N>::known,
                "message number not registered: add MSG(N, \"kinds\") to the .def file beside "
                "the module");
  static_assert(fits<A...>(Registered<N>::kinds),
                "the arguments do not match the registered conversions of this message "
                "(d, c integral; f floating point; s text)");
}

}  // namespace msgdetail

// Message N with its arguments on the stream.
template <int N, class... A>
void message_to(FILE* stream, const A&... args) {
  msgdetail::check<N, A...>();
  const msgdetail::Arg list[] = {msgdetail::arg(args)..., msgdetail::Arg{}};
  msgdetail::write(stream, N, list, static_cast<int>(sizeof...(A)));
}

// Message N with its arguments on standard output.
template <int N, class... A>
void message(const A&... args) {
  message_to<N>(stdout, args...);
}

// Message N (a negative number) on standard output, then the end of the
// process with the status -N (fatal_status).
template <int N, class... A>
[[noreturn]] void fatal(const A&... args) {
  static_assert(N < 0, "a fatal message has a negative number");
  message_to<N>(stdout, args...);
  fatal_exit(fatal_status(-N));
}

// The text of message N formatted with its arguments.
template <int N, class... A>
std::string message_text(const A&... args) {
  msgdetail::check<N, A...>();
  const msgdetail::Arg list[] = {msgdetail::arg(args)..., msgdetail::Arg{}};
  return msgdetail::format(N, list, static_cast<int>(sizeof...(A)));
}

}  // namespace core
