// Global goals and parameters of a run: GOAL[k] (a formula reported with its
// error estimate, optionally with a required accuracy) and PARAM[k] (a
// parameter of no phase, refined in every stage, usable in any formula),
// parsed into paramglobal, and written back into the same keys at the end so
// that the next run starts from the refined values.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/data.hpp"
#include "core/fatal.hpp"
#include "core/velmora.hpp"
#include "tamrel.hpp"

namespace tamrel {

using namespace core;
using namespace crystal;

namespace {

bool indexexists(const char* key, int index) {
  return dataerr_try([&] { GetIndexStrVar(key, 1, &index, INT_MAX, nullptr); });
}

// The texts key[1], key[2], ... up to the first missing index.
std::vector<std::string> indexed(const char* key) {
  std::vector<std::string> texts;
  static char buf[kTextLen + 1];
  for (int k = 1; indexexists(key, k); ++k) {
    GetIndexStrVar(key, 1, &k, kTextLen, buf);
    texts.emplace_back(buf);
  }
  return texts;
}

std::string format(const char* fmt, int decimals, double value) {
  int n = std::snprintf(nullptr, 0, fmt, decimals, value);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, decimals, value);
  return out;
}

// A value lies on a bound formula (evaluated now; a bound that cannot be
// evaluated is not met).
bool onbound(double value, const char* bound) {
  double b = 0.0;
  if (!dataerr_try([&] { b = Wert(bound); })) return false;
  if (value == 0.0 && b == 0.0) return true;
  return std::fabs(value - b) / (std::fabs(value) + std::fabs(b)) < 4.440892098500626e-15;
}

// The written text of a global record.
std::string writtentext(const ParamRecord& r, bool goal) {
  std::string text;
  if (goal) {
    text = std::string(r.goal) + "=";
    if (r.failed)
      text += "ERROR";
    else if (r.errorstate == 2)
      text += "UNDEF";
    else
      text += format("%.*f", r.decimals, goalwert != nullptr ? goalwert[r.goalindex] : 0.0);
    if (r.second != nullptr) text += std::string("+-") + r.second;
    return text;
  }
  text = std::string(r.name) + "=";
  if (r.mintext != nullptr && r.errorstate == 0 && onbound(r.value, r.mintext))
    text += r.mintext;
  else if (r.maxtext != nullptr && r.errorstate == 0 && onbound(r.value, r.maxtext))
    text += r.maxtext;
  else
    text += format("%.*E", 14, r.value);
  if (r.mintext != nullptr) text += std::string("_") + r.mintext;
  if (r.maxtext != nullptr) text += std::string("^") + r.maxtext;
  return text;
}

// A refused control-file text ends the run with the message's status.
[[noreturn]] void refused(const GrammarError& e) {
  grammarmessage(e);
  fatal_exit(fatal_status(-e.number));
}

}  // namespace

void readglobals() {
  std::vector<ParamRecord> records;
  for (const std::string& text : indexed("GOAL")) {
    ParamRecord r{};
    GrammarError e = parsegoal(text.c_str(), &r);
    if (e.number != 0) refused(e);
    r.goalindex = goalzahl++;
    records.push_back(r);
  }
  globalgoals = static_cast<int>(records.size());
  for (const std::string& text : indexed("PARAM")) {
    ParamRecord r{};
    GrammarError e = parseparam(text.c_str(), &r);
    if (e.number != 0) refused(e);
    records.push_back(r);
  }
  globalparams = static_cast<int>(records.size()) - globalgoals;
  paramglobal = nullptr;
  if (!records.empty()) {
    paramglobal = kcalloc<ParamRecord>(records.size());
    for (size_t i = 0; i < records.size(); ++i) paramglobal[i] = records[i];
  }
  checklevel("ondatalevel", __LINE__);
  goalwert = kcalloc<double>(static_cast<size_t>(goalzahl));

  rp2 = rp3 = rp4 = 0;
  newDATAlist();
  for (int i = globalgoals; i < globalgoals + globalparams; ++i)
    SetVar(paramglobal[i].name, paramglobal[i].value);
}

void writeglobals() {
  int n = globalgoals + globalparams;
  std::vector<std::string> texts;
  texts.reserve(static_cast<size_t>(n));
  // The bounds may name global parameters: they are defined in a scope of
  // their own while the texts are made.
  newDATAlist();
  for (int i = globalgoals; i < n; ++i) SetVar(paramglobal[i].name, paramglobal[i].value);
  for (int i = 0; i < n; ++i) texts.push_back(writtentext(paramglobal[i], i < globalgoals));
  DelAll();
  freeDATAlist();
  for (int i = 0; i < n; ++i) {
    int k = i < globalgoals ? i + 1 : i - globalgoals + 1;
    SetIndexStrVar(i < globalgoals ? "GOAL" : "PARAM", 1, &k,
                   texts[static_cast<size_t>(i)].c_str());
  }
}

bool ifparamglobal(const char* name, int* index) {
  for (int i = 0; i < globalgoals + globalparams; ++i) {
    if (paramglobal[i].name == nullptr || std::strcmp(paramglobal[i].name, name) != 0) continue;
    *index = i;
    return true;
  }
  return false;
}

int lauegroup(int spacegroup) {
  static const int first[] = {3, 16, 75, 89, 143, 149, 168, 177, 195, 207};
  int index = 0;
  for (int f : first)
    if (spacegroup >= f) ++index;
  return index;
}

void freeglobals() {
  freeparams(paramglobal, globalgoals + globalparams);
  paramglobal = nullptr;
  globalgoals = globalparams = 0;
  std::free(goalwert);
  goalwert = nullptr;
}

}  // namespace tamrel
