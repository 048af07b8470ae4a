// The records of the refinement and the shared state of the model: creation
// with the defaults of a new phase, atom or reflection, and the release of
// everything a phase owns.
#include "crystal/records.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/nspawn.hpp"
#include "core/velmora.hpp"
#include "crystal/services.hpp"

namespace crystal {
using namespace core;
using namespace numeric;
using namespace model;

const char* const texturname[7] = {"NONE",   "SPHAR0", "SPHAR2", "SPHAR4",
                                   "SPHAR6", "SPHAR8", "SPHAR10"};

PhaseRecord* phase1 = nullptr;
PhaseRecord* phasei = nullptr;
AtomRecord* pa = nullptr;

int32_t durchlauf = 0;
double eps10 = 0.0, eps20 = 0.0, eps30 = 0.0, eps40 = 0.0;
double eps1 = 0.0, eps2 = 0.0, eps3 = 0.0, eps4 = 0.0;

QminParam* qminparam = nullptr;
int rqmin = 0;
int noequiv = 0;

PeakSet* param = nullptr;
int rp2 = 0, rp3 = 0, rp4 = 0;
int rpeaks = 0;
double** tpeaks = nullptr;
double* tu = nullptr;

float* kettenregel = nullptr;
int kettenregeldim = 0;
int32_t* matrixmultdim = nullptr;
float* strafableitung = nullptr;
float* ksableitung = nullptr;

PhaseRecord* localphase = nullptr;
PhaseRecord* lastphase = nullptr;
uint8_t linstrafinit = 1;
double ermodfaktor = 0.0;
double ermod = 0.0;
double moderror = 0.0;

ParamRecord* paramglobal = nullptr;
int globalgoals = 0;
int globalparams = 0;
int goalzahl = 0;
double* goalwert = nullptr;
uint8_t ifgoal = 0;
double** a = nullptr;

PenaltyRow* straferst = nullptr;
int istraf = 0;

int anisochange = 0;
uint8_t ifmaxgewicht = 0;

char diagramm[8001] = "";
char titel[8001] = "";
char atom_name_default[8001] = "";

namespace {

template <int N>
SpharView view(SpharBlock<N>& block, int order) {
  return SpharView{order,
                   N,
                   block.c,
                   block.s,
                   block.q,
                   &block.ident[0][0],
                   &block.proj[0][0],
                   &block.limit,
                   &block.limitgiven};
}

// A scope the record holds detached: put back on the chain and discarded.
void dropscope(DATAlist* scope) {
  if (scope == nullptr || scope->attached) return;
  popDATAlist(scope);
  DelAll();
  freeDATAlist();
}

void freefrecord(FRecord* f) {
  if (f == nullptr) return;
  std::free(f->hkl);
  std::free(f->comp);
  std::free(f);
}

void freeatom(AtomRecord* atom, int kinds) {
  if (atom->weightformulas != nullptr) {
    for (int i = 0; i < kinds; ++i) std::free(atom->weightformulas[i]);
    std::free(atom->weightformulas);
  }
  std::free(atom->weights);
  if (atom->sites != nullptr) {
    int nsites = atom->wyckoff != nullptr ? atom->wyckoff->count : 0;
    for (int i = 0; i < nsites; ++i) std::free(atom->sites[i].ops);
    std::free(atom->sites);
  }
  freeparams(atom->params, atom->nparams);
  freeparams(atom->params2, atom->nparams2);
  freeparams(atom->params3, atom->nparams3);
  if (atom->elements != nullptr) {
    for (int i = 0; i < atom->nelements; ++i) std::free(atom->elements[i].occformula);
    std::free(atom->elements);
  }
  std::free(atom->limittext);
  std::free(atom->threadpenalty);
  if (atom->threadscope != nullptr) {
    for (int i = 0; i < nthreads; ++i) dropscope(atom->threadscope[i]);
    std::free(atom->threadscope);
  }
  dropscope(atom->scope);
  dropscope(atom->goalscope);
  std::free(atom->bonds);
  std::free(atom->extbonds);
  std::free(atom);
}

void freephase(PhaseRecord* phase) {
  std::free(phase->name);
  if (phase->refl != nullptr) {
    for (int i = 0; i < phase->nrefl; ++i) {
      ReflectionRecord* r = phase->refl[i];
      freefrecord(r->fr1);
      freefrecord(r->fr2);
      std::free(r);
    }
    std::free(phase->refl);
  }
  int kinds = phase->FMult > 0 ? phase->FMult : phase->RefMult;
  while (phase->atoms != nullptr) {
    AtomRecord* next = phase->atoms->next;
    freeatom(phase->atoms, kinds);
    phase->atoms = next;
  }
  phase->lastatom = nullptr;
  std::free(phase->lebail);
  for (int i = 0; i < phase->nbondings; ++i) std::free(phase->bondings[i]);
  std::free(phase->bondings);
  std::free(phase->probes);
  std::free(phase->tdsprobes);
  std::free(phase->operators);
  std::free(phase->condition);
  std::free(phase->usercondition);
  std::free(phase->densities);
  std::free(phase->mys);
  freeparams(phase->params, phase->nparams);
  while (phase->aniso != nullptr) {
    AnisotropyRecord* next = phase->aniso->next;
    std::free(phase->aniso->name);
    std::free(phase->aniso);
    phase->aniso = next;
  }
  dropscope(phase->scope);
  std::free(phase);
}

}  // namespace

SpharView spharview(PhaseRecord* phase, int order) {
  switch (order) {
    case 2:
      return view(phase->sphar2, 2);
    case 4:
      return view(phase->sphar4, 4);
    case 6:
      return view(phase->sphar6, 6);
    case 8:
      return view(phase->sphar8, 8);
    case 10:
      return view(phase->sphar10, 10);
    default:
      return SpharView{};
  }
}

PhaseRecord* newphase(int number, int goalindex) {
  auto* phase = kcalloc<PhaseRecord>(1);
  phase->unit = UNIT_NM;
  phase->RefMult = 1;
  phase->FMult = 0;
  phase->bondlevel = 1;
  phase->theory = 0.0;
  phase->RP = 4;
  phase->number = number;
  phase->goalindex = goalindex;
  phase->operatorspending = 1;
  phase->texture = TEXTURE_NONE;
  return phase;
}

void appendphase(PhaseRecord* phase) {
  PhaseRecord** tail = &phase1;
  while (*tail != nullptr) tail = &(*tail)->next;
  phase->next = nullptr;
  *tail = phase;
}

void phasekinds(PhaseRecord* phase) {
  if (phase->RefMult < 1) phase->RefMult = 1;
  if (phase->FMult < 0) phase->FMult = 0;
  std::free(phase->lebail);
  std::free(phase->densities);
  std::free(phase->mys);
  phase->lebail = kcalloc<uint8_t>(static_cast<size_t>(phase->RefMult));
  if (phase->FMult == 0)
    for (int i = 0; i < phase->RefMult; ++i) phase->lebail[i] = 1;
  int kinds = phase->FMult > 0 ? phase->FMult : phase->RefMult;
  phase->densities = kcalloc<double>(static_cast<size_t>(kinds));
  phase->mys = kcalloc<double>(static_cast<size_t>(kinds));
}

AtomRecord* newatom(PhaseRecord* phase, int number, double anisolimit) {
  auto* atom = kcalloc<AtomRecord>(1);
  atom->number = number;
  atom->anisolimit = anisolimit;
  atom->tdskind = TDS_NONE;
  atom->namepending = 1;
  int workers = nthreads > 0 ? nthreads : 1;
  atom->threadpenalty = kcalloc<double>(static_cast<size_t>(workers));
  atom->threadscope = kcalloc<DATAlist*>(static_cast<size_t>(workers));
  // Appended behind the last atom without walking the list; the last atom
  // is looked for only when the list was not built here alone.
  AtomRecord** tail = phase->lastatom != nullptr && phase->lastatom->next == nullptr
                          ? &phase->lastatom->next
                          : &phase->atoms;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = atom;
  phase->lastatom = atom;
  return atom;
}

void newelements(AtomRecord* atom, int count) {
  std::free(atom->elements);
  atom->elements = kcalloc<ElementRecord>(static_cast<size_t>(count));
  atom->nelements = count;
}

ParamRecord* addparam(ParamRecord** array, int32_t* count) {
  auto* grown = static_cast<ParamRecord*>(
      std::realloc(*array, sizeof(ParamRecord) * static_cast<size_t>(*count + 1)));
  if (grown == nullptr) outofmemory();
  *array = grown;
  ParamRecord* rec = &grown[*count];
  *rec = ParamRecord{};
  ++*count;
  return rec;
}

void* linecalloc(size_t count, size_t size) {
  constexpr size_t kLine = 64;
  const size_t bytes = (std::max<size_t>(count * size, 1) + kLine - 1) / kLine * kLine;
  void* p = std::aligned_alloc(kLine, bytes);
  if (p == nullptr) outofmemory();
  std::memset(p, 0, bytes);
  return p;
}

std::atomic<uint64_t> frecordsmade{0};

// The workers write a reflection's and its F-records' values while they
// compute its line: each record on lines of its own, so that two workers
// computing reflections whose records lie side by side do not take the lines
// from each other.
FRecord* newfrecord(double F, int fmult) {
  frecordsmade.fetch_add(1, std::memory_order_relaxed);
  auto* f = linecalloc<FRecord>(1);
  f->F = F;
  f->gewicht = -1.0;
  if (fmult > 0) f->comp = linecalloc<double[4]>(static_cast<size_t>(fmult));
  return f;
}

ReflectionRecord* newreflection(double sk, int iref) {
  auto* r = linecalloc<ReflectionRecord>(1);
  r->sk = sk;
  r->iref = iref;
  return r;
}

void freeparams(ParamRecord* params, int count) {
  if (params == nullptr) return;
  for (int i = 0; i < count; ++i) {
    ParamRecord& p = params[i];
    std::free(p.name);
    std::free(p.statement);
    std::free(p.mintext);
    std::free(p.maxtext);
    std::free(p.goal);
    std::free(p.second);
  }
  std::free(params);
}

void freephases() {
  while (phase1 != nullptr) {
    PhaseRecord* next = phase1->next;
    freephase(phase1);
    phase1 = next;
  }
  clearphasefiles();
  phasei = nullptr;
  pa = nullptr;
  localphase = nullptr;
  lastphase = nullptr;
}

}  // namespace crystal
