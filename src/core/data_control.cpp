// The control-file format: save, dump and restore of scopes, with the heap
// sort that orders entries by serial.
#include "core/data_internal.hpp"
#include "core/velmora.hpp"

namespace core {
using namespace store;

// ---------------------------------------------------------------------------
// Control-file format

void heapsortid(int n, void* base, bool (*less)(int i, int j, void* base),
                void (*swap)(int i, int j, void* base)) {
  if (n < 2) return;
  auto sift = [&](int root, int end) {
    for (;;) {
      int child = 2 * root + 1;
      if (child >= end) return;
      if (child + 1 < end && less(child, child + 1, base)) ++child;
      if (!less(root, child, base)) return;
      swap(root, child, base);
      root = child;
    }
  };
  for (int i = n / 2 - 1; i >= 0; --i) sift(i, n);
  for (int end = n - 1; end > 0; --end) {
    swap(0, end, base);
    sift(0, end);
  }
}

namespace {

bool varvergleich(int i, int j, void* base) {
  DataVar** v = static_cast<DataVar**>(base);
  return v[i]->serial < v[j]->serial;
}

void vartausch(int i, int j, void* base) {
  DataVar** v = static_cast<DataVar**>(base);
  DataVar* t = v[i];
  v[i] = v[j];
  v[j] = t;
}

void saveentry(FILE* f, const DataVar* v) {
  if (v->idx == nullptr && v->nidx != 0 && v->text == nullptr) return;  // C function
  if (v->comment != nullptr) std::fprintf(f, "%c%s\n", '%', v->comment);
  if (v->idx == nullptr && v->nidx != 0) {
    std::fprintf(f, "%s(%d):%s\n", v->name, v->nidx, v->text);
    return;
  }
  std::fputs(v->name, f);
  if (v->idx != nullptr) {
    std::fputc('[', f);
    for (int i = 0; i < v->nidx; ++i) std::fprintf(f, i == 0 ? "%d" : ",%d", v->idx[i]);
    std::fputc(']', f);
  }
  if (v->text != nullptr) {
    // An empty text is written "==": it reads back as the empty text.
    std::fprintf(f, "=%s\n", v->text[0] != 0 ? v->text : "=");
  } else if (std::isfinite(v->value)) {
    std::fprintf(f, "==%-23.16E\n", v->value);
  } else {
    // Infinities and NaN as the bit pattern, which reads back exactly.
    char hex[18];
    hexliteral(v->value, hex);
    std::fprintf(f, "==%s\n", hex);
  }
}

void savescope(FILE* f, DATAlist* s, bool flush) {
  int n = 0;
  for (int b = 0; b < DATA_BUCKETS; ++b)
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next) ++n;
  if (n == 0) return;
  DataVar** list = kcalloc<DataVar*>(static_cast<size_t>(n));
  int k = 0;
  for (int b = 0; b < DATA_BUCKETS; ++b)
    for (DataVar* v = s->bucket[b]; v != nullptr; v = v->next) list[k++] = v;
  heapsortid(n, list, varvergleich, vartausch);
  for (int i = 0; i < n; ++i) {
    saveentry(f, list[i]);
    if (flush) std::fflush(f);
  }
  std::free(list);
}

}  // namespace

void save(FILE* stream) {
  PublicCall pc;
  if (pc.c->top != nullptr) savescope(stream, pc.c->top, false);
  pc.finish(4930);
}

void dump(FILE* stream) {
  PublicCall pc;
  for (DATAlist* s = pc.c->top; s != nullptr; s = s->next) {
    std::fputs("*** Level starts\n", stream);
    std::fflush(stream);
    savescope(stream, s, true);
  }
  pc.finish(5046);
}

void restore(FILE* stream) {
  PublicCall pc;
  DataContext* c = pc.c;
  int slot = threadid();
  std::string line;
  for (int number = 1;; ++number) {
    line.clear();
    int ch;
    bool any = false;
    while ((ch = getcharlf(stream)) != EOF) {
      any = true;
      if (ch == '\n') break;
      line += static_cast<char>(ch);
    }
    if (!any) break;
    if (line.empty()) {
      // nothing
    } else if (line[0] == '%') {
      DATAlist* s = writescope(c);
      dfree(c, s->comment);
      s->comment = dstrdup(c, line.c_str() + 1);
    } else {
      int ok = ergibtid(line.c_str(), static_cast<int>(line.size()), nullptr, c, slot);
      if (ok == 0 || pending(c)) {
        char msg[100];
        std::snprintf(msg, sizeof msg, "wrong data element in restored file at line %d", number);
        pusherr(c, line, msg);
      }
    }
    if (ch == EOF || pending(c)) break;
  }
  pc.finish(4968);
}

}  // namespace core
