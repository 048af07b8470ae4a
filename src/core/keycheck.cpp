#include "core/keycheck.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "core/data.hpp"
#include "core/message.hpp"

namespace core {

std::string keyname(const char* name, int nidx, const int* idx) {
  std::string key = name;
  if (nidx <= 0) return key;
  key += '[';
  for (int k = 0; k < nidx; ++k) {
    if (k > 0) key += ',';
    key += std::to_string(idx[k]);
  }
  key += ']';
  return key;
}

namespace {

// The text of a defined key, false when it is not defined.
bool keytext(const char* name, int nidx, const int* idx, std::string* text) {
  // Read once for the length, then the text itself: a key's text may be long.
  const int limit = 8000;
  std::string buf(static_cast<size_t>(limit) + 1, '\0');
  const bool found = dataerr_try([&] {
    if (nidx > 0)
      GetIndexStrVar(name, nidx, idx, limit, buf.data());
    else
      GetStrVar(name, limit, buf.data());
  });
  if (found) {
    *text = buf.c_str();
    return true;
  }
  // A text longer than the limit is defined all the same.
  const bool longer = dataerr_try([&] {
    if (nidx > 0)
      GetIndexStrVar(name, nidx, idx, std::numeric_limits<int>::max(), nullptr);
    else
      GetStrVar(name, std::numeric_limits<int>::max(), nullptr);
  });
  if (longer) *text = "(a text longer than 8000 characters)";
  return longer;
}

}  // namespace

bool optnumber(const char* name, int nidx, const int* idx, double* v) {
  double value = 0;
  std::string reason;
  const bool ok =
      dataerr_try([&] { value = nidx > 0 ? GetIndexVar(name, nidx, idx) : GetVar(name); });
  if (!ok) {
    // The store's reason before the next call drops it.
    const char* object = GetErr(0);
    const char* what = GetErr(1);
    if (object != nullptr && what != nullptr) reason = std::string(object) + ": " + what;
    std::string text;
    if (!keytext(name, nidx, idx, &text)) return false;
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    fatal<-105>(keyname(name, nidx, idx), text, reason);
  }
  keyfinite(keyname(name, nidx, idx), value);
  *v = value;
  return true;
}

bool optnumber(const char* name, double* v) { return optnumber(name, 0, nullptr, v); }

bool optint(const char* name, int nidx, const int* idx, int* v) {
  double value = 0;
  if (!optnumber(name, nidx, idx, &value)) return false;
  keyrange(keyname(name, nidx, idx), value, INT_MIN, INT_MAX);
  *v = static_cast<int>(std::floor(value + 0.5));
  return true;
}

bool optint(const char* name, int* v) { return optint(name, 0, nullptr, v); }

double keyfinite(const std::string& key, double v) {
  if (!std::isfinite(v)) fatal<-100>(key, v);
  return v;
}

double keyangle(const std::string& key, double v, double lo, double hi) {
  if (!(v >= lo && v <= hi)) fatal<-101>(key, v, lo, hi);
  return v;
}

double keypositive(const std::string& key, double v) {
  if (!(v > 0) || !std::isfinite(v)) fatal<-103>(key, v);
  return v;
}

double keyrange(const std::string& key, double v, double lo, double hi) {
  if (!(v >= lo && v <= hi)) fatal<-104>(key, v, lo, hi);
  return v;
}

void keywindow(const std::string& lokey, double lo, const std::string& hikey, double hi) {
  if (!(lo < hi)) fatal<-102>(lokey, lo, hikey, hi);
}

}  // namespace core
