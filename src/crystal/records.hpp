// The records of the refinement: every crystalline phase with its atoms, their
// elements and Wyckoff sites, the unique reflections with their structure-
// factor records, the refinable parameters and goals, the anisotropy objects;
// and the file-level state that the refinement driver sets and the crystal
// model reads (stage, derivative buffers, goal arrays, peak columns, ...).
//
// The records are plain structures chained by next pointers. The driver
// allocates them (newphase, newatom, newreflection, newfrecord give the
// creation defaults), fills what comes from the control and structure files,
// and frees them at the end of the run (freephases); the model fills the rest.
// Lengths are in nm inside the records; a phase's UNIT only says how its user
// values are written.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "core/data.hpp"
#include "crystal/afa.hpp"
#include "crystal/spacehld.hpp"
#include "model/modell.hpp"
#include "numeric/qmin8.hpp"

namespace crystal {

// ---------------------------------------------------------------------------
// Kinds and constants

// Length unit of a phase's user values.
enum : int32_t { UNIT_NM = 0, UNIT_ANGSTROEM = 1 };

// Lattice kinds of a phase (0: not yet known, any lattice).
enum : int32_t {
  LATTICE_ANY = 0,
  LATTICE_TRICLINIC = 1,
  LATTICE_MONOCLINIC = 2,
  LATTICE_ORTHORHOMBIC = 3,
  LATTICE_TRIGONAL = 4,
  LATTICE_HEXAGONAL = 5,
  LATTICE_TETRAGONAL = 6,
  LATTICE_RHOMBOHEDRAL = 7,
  LATTICE_CUBIC = 8
};

// Texture kinds of a phase: index into texturname.
enum : int32_t {
  TEXTURE_NONE = 0,
  TEXTURE_SPHAR0 = 1,
  TEXTURE_SPHAR2 = 2,
  TEXTURE_SPHAR4 = 3,
  TEXTURE_SPHAR6 = 4,
  TEXTURE_SPHAR8 = 5,
  TEXTURE_SPHAR10 = 6
};
// "NONE", "SPHAR0", "SPHAR2", ..., "SPHAR10".
extern const char* const texturname[7];

// Temperature-factor (TDS) kinds of an atom: 0 not yet evaluated, 1 isotropic
// B of the atom, 2 anisotropic tensor, 3 isotropic TDS evaluated once per
// set-up, 4 TDS that needs the reflection (evaluated per reflection).
enum : int32_t { TDS_NONE = 0, TDS_ISO = 1, TDS_ANISO = 2, TDS_ONCE = 3, TDS_PERREFLECTION = 4 };

// Kinds of an anisotropy object.
enum : uint32_t { ANISO_CONSTANT = 0, ANISO_LINEAR = 1, ANISO_SQUARE = 2, ANISO_FOURTH = 3 };

// Most centring translations of a lattice (F: four, the first (0, 0, 0)).
constexpr int MAX_CENTRING = 4;

// ---------------------------------------------------------------------------
// Parameters and goals

// One item of a structure file (or of the control file's PARAM/GOAL keys): a
// statement, a keyword, a refinable parameter or a goal.
struct ParamRecord {
  char* name;            // parameter name (PARAM=), or null
  char* statement;       // the formula text executed at set-up, or null
  char* mintext;         // lower bound text (after "_"), or null
  char* maxtext;         // upper bound text (after "^"), or null
  char* goal;            // goal formula, or null
  char* second;          // second (accuracy) formula of a goal, or null
  double value;          // parameter value / goal value
  double secondvalue;    // value of the second formula
  double errorestimate;  // goals: the error estimate the list file wrote, 0 without
  int32_t goalindex;     // index into goalwert
  int32_t decimals;      // decimals of the written value
  int32_t errorstate;    // 0 at a bound or no error, 1 with an error estimate, 2 no influence
  uint8_t skip;          // keyword item: not executed as a statement
  uint8_t goaldef;       // goal definition (GOAL:), executed by the goal evaluation
  uint8_t endsline;      // the next item of the file begins a line
  uint8_t failed;        // the goal failed in this stage
};

// ---------------------------------------------------------------------------
// Atoms

// One scattering species of an atom (one entry of its E= item).
struct ElementRecord {
  ScatteringData scat;  // afaparm
  char name[8];         // as written in the item
  double occupancy;     // share of the site
  double penalty;       // occupancy x 10000 when negative, else 0
  char* occformula;     // the bracketed occupancy formula, or null (left free)
  char label[48];       // element label of the exports (set-up)
};

// One site of an atom's Wyckoff position.
struct SiteRecord {
  double x[MAX_CENTRING];  // the site with each centring translation added
  double y[MAX_CENTRING];
  double z[MAX_CENTRING];
  int32_t* ops;  // general operators that map the reference site here, or null
  double b[6];   // averaged displacement b11, b22, b33, b12, b13, b23
};

// One entry of an atom's bond lists: a partner and its lattice translation.
struct BondEntry {
  int32_t t[3];
  struct AtomRecord* atom;
};

struct AtomRecord {
  AtomRecord* next;
  char** weightformulas;   // one weight formula per output component (or
                           // reflection kind), entries may be null; or null
  double* weights;         // their values, one per component (or kind)
  int32_t number;          // 1, 2, ... in file order
  char wyckoffname[100];   // Wyckoff=
  WyckoffRecord* wyckoff;  // getmass
  SiteRecord* sites;       // one per operator of the Wyckoff position (getmass)
  int32_t nparams;         // the atom's items
  ParamRecord* params;
  int32_t nparams2;  // further parameter lists
  ParamRecord* params2;
  int32_t nparams3;
  ParamRecord* params3;
  int32_t nelements;
  double occsum;            // sum of the occupancies
  double overfill;          // (occsum - 1) x 10000 above 1, else 0 (second penalty value)
  ElementRecord* elements;  // nelements
  double B;                 // isotropic displacement (nm^2)
  double anisolimit;        // ANISOLIMIT at creation
  char* limittext;          // limit text of TDS=ANISO^, or null
  double penalty;           // temperature-factor penalty of the main thread (first penalty value)
  double* threadpenalty;    // the same per worker thread [nthreads]
  int32_t tdskind;          // TDS_*
  core::DATAlist* scope;    // the atom's detached store scope
  core::DATAlist** threadscope;  // one detached scope per worker thread [nthreads]
  core::DATAlist* goalscope;     // the atom's scope kept by the goal evaluation
  double sitepenalty[6];         // site-symmetry penalty values of the displacement tensor
  double firstimage[6];          // the displacement tensor's first image at the first site
  double anisoparam[6];          // displacement parameters as anisoinit takes them
  uint8_t namepending;           // 1 until the set-up has named the atom
  char atomname[31];             // AtomName or a generated name
  double masssum;                // sum of occupancy x mass
  double attsum;                 // sum of occupancy x mass x mass attenuation
  BondEntry* bonds;              // direct bonds
  int32_t nbonds;
  BondEntry* extbonds;  // everything within BondLevel bonds, itself included
  int32_t nextbonds;    // committed entries
  int32_t nextgrowing;  // entries including those added in this round
  int32_t maxextbonds;  // allocated entries
};

// ---------------------------------------------------------------------------
// Reflections

// Structure-factor record of one reflection (or of its inverse -h, -k, -l).
struct FRecord {
  int32_t (*hkl)[3];   // equivalent triples; element 0 is the representative
  int32_t nequiv;      // number of equivalents (multiplicity H)
  double F;            // |F|
  double Finv;         // |F| of the inverse
  double gewichtcalc;  // computed texture weight
  double gewicht;      // texture weight in use; -1 at creation
  double B1, B2, k1, k2, k3, DELTAsk, DELTAzweiTheta;  // values read for this record
  double (*comp)[4];  // FMult components: Re F, Im F, Re Finv, Im Finv; or null
};

struct ReflectionRecord {
  double sk;               // sort key: 1/d^2 (nm^-2)
  ReflectionRecord* next;  // new records go to the head of a list
  double intensity;        // peak parameters, in the order of a peak of the peak set
  double position;         // line position in 1/d
  double B1;               // third and fourth peak parameters
  double B2;
  double skshift;  // 1/d with the reflection's own shifts, before the zero-shift correction
  FRecord* fr1;    // the reflection
  FRecord* fr2;    // the inverse reflection, or null
  int32_t count;   // 2 when fr2 exists, 1 when the inverse is equivalent
  int32_t iref;    // reflection kind 0 .. RefMult - 1
  int32_t slot;    // slot of its peak among the peaks of its kind in param
  uint8_t used;    // the reflection is written to the outputs
};

// ---------------------------------------------------------------------------
// Anisotropy objects and per-kind caches of a phase

struct AnisotropyRecord {
  AnisotropyRecord* next;  // the list runs from the newest to the oldest
  uint32_t kind;           // ANISO_*
  char* name;              // variable name (TDS, B1, k2, GEWICHT, user names)
  double value;            // kind 0: the constant; the value reported after the fit
  double param[21];        // refined parameters: six (kinds 1, 2) or a packed 6 x 6
                           // lower triangle (kind 3)
  double t[6];             // symmetrised tensor t11, t22, t33, t12, t13, t23
  double first[15];        // the identity's image (6 or 15 values)
  double c[15];            // symmetrised fourth-order coefficients c0..c14
  double penalty[15];      // symmetry penalty values (6 or 15)
  double s;                // scale factor (driver)
  double limit;            // upper limit; the largest float without "^"
  double anisolimit;       // ANISOLIMIT when the object was declared
  double aniso4limit;      // ANISO4LIMIT when the object was declared
  uint8_t anisolimitgiven;
  uint8_t aniso4limitgiven;
  double principal[3];  // principal values (outputs)
  double mean;          // mean value over the directions (outputs)
};

// Item codes of a line plan, in the order the probe tries them.
enum : int32_t {
  ITEM_F = 0,
  ITEM_GEWICHT = 1,
  ITEM_DELTASK = 2,
  ITEM_DELTAZWEITHETA = 3,
  ITEM_B1 = 4,
  ITEM_WIDTH = 5,
  ITEM_COUNT = 6
};
// Found flags of a line probe.
enum : int {
  FOUND_GEWICHT = 0,
  FOUND_B1,
  FOUND_B2,
  FOUND_K1,
  FOUND_K2,
  FOUND_K3,
  FOUND_DELTASK,
  FOUND_DELTAZWEITHETA,
  FOUND_GEWICHT_IREF,      // GEWICHT[iref]
  FOUND_GEWICHT_FUNCTION,  // GEWICHT(iref)
  FOUND_B1_IREF,
  FOUND_B2_IREF,
  FOUND_K1_IREF,
  FOUND_K2_IREF,
  FOUND_K3_IREF,
  FOUND_DELTASK_IREF,
  FOUND_DELTAZWEITHETA_IREF,
  FOUND_COUNT
};

// The plan of the line computation of one reflection kind, made once.
struct LineProbe {
  uint8_t notprobed;
  uint8_t pending[ITEM_COUNT];
  int32_t nplan;
  int32_t plan[ITEM_COUNT];
  uint8_t found[FOUND_COUNT];
};

// Which TDS variable a reflection kind reads.
struct TdsProbe {
  uint8_t notprobed;
  uint8_t tds;      // TDS exists
  uint8_t tdsiref;  // TDS[iref] exists
};

// Symmetry-adapted texture coefficients of one order n (N monomials).
template <int N>
struct SpharBlock {
  double c[N];         // raw coefficients
  double s[N];         // symmetrised coefficients
  double q[N];         // penalty values
  double ident[N][N];  // image of the identity
  double proj[N][N];   // projector onto symmetric coefficient sets
  double limit;        // LIMITn
  uint8_t limitgiven;  // LIMITn is present
};

// Pointers into one SPHAR block of a phase, for code that works on any order.
struct SpharView {
  int order;  // 2, 4, 6, 8, 10
  int N;      // 6, 15, 28, 45, 66
  double* c;
  double* s;
  double* q;
  double* ident;  // N x N, row by row
  double* proj;   // N x N
  double* limit;
  uint8_t* limitgiven;
};

// ---------------------------------------------------------------------------
// Phases

struct PhaseRecord {
  PhaseRecord* next;
  char* name;
  int32_t unit;             // UNIT_NM or UNIT_ANGSTROEM
  int32_t RefMult;          // reflection kinds, at least 1
  int32_t FMult;            // output components, at least 0
  int32_t nrefl;            // reflection count
  ReflectionRecord** refl;  // reflection array (sorted)
  AtomRecord* atoms;        // in file order
  AtomRecord* lastatom;     // the last of atoms, where newatom appends the next one
  uint8_t* lebail;          // [RefMult] Le Bail flag per reflection kind
  double theory;            // restraint weight (Theory)
  double energy;            // restraint energy
  int32_t bondlevel;        // BondLevel
  int32_t nbondings;        // Bondings texts
  char** bondings;
  LineProbe* probes;                   // [RefMult] or null
  int32_t nprobes;                     // reflection kinds already probed
  TdsProbe* tdsprobes;                 // [RefMult] or null
  int32_t ntdsprobes;                  // reflection kinds already probed
  int32_t gewichtstatus;               // 0 unknown, 1 GEWICHT undefined, 2 defined
  char selector[SEL_COUNT][32];        // BASIS, UniqueAxis, HermannMauguin, Setting,
                                       // Lattice, SpacegroupNo, OriginChoice, CellChoice
  SpaceGroupRecord* group;             // getmass
  int32_t lattice;                     // LATTICE_*
  int32_t ncentring;                   // 1, 2, 3 or 4
  double centring[MAX_CENTRING][3];    // the first is (0, 0, 0)
  int32_t icentring[MAX_CENTRING][3];  // the same in units of 1/SYM_DENOM
  double* operators;                   // 13 doubles per general operator: image of the
                                       // reference site (3), rotation by rows (9), spare
  uint8_t texturesetup;                // build the texture projector and its penalty rows
  uint8_t anisosetup;                  // register the anisotropy penalty rows
  uint8_t operatorspending;            // the operator table is still to be filled
  char* condition;                     // GeneralCondition of the group, or null
  char* usercondition;                 // GeneralCondition of the structure file, or null
  int32_t number;                      // i of STRUC[i]
  int32_t RP;                          // peak parameters per line, 2..4
  uint8_t metricready;                 // cell and metric are up to date
  double a, b, c;                      // nm
  double alpha, beta, gamma;           // degrees
  int32_t goalindex;                   // first of the six goal slots of the cell
  double metric[6];                    // a^2, b^2, c^2, ab cos gamma, ac cos beta, bc cos alpha
  double rmetric[6];   // a*^2, b*^2, c*^2, a*b* cos gamma*, b*c* cos alpha*, a*c* cos beta*
  double tri[6];       // upper triangular R with R R^T = reciprocal metric (getmass)
  double volume2;      // squared cell volume (nm^6)
  double density;      // g/cm^3
  double* densities;   // per component [FMult, or RefMult when FMult is 0]
  double my;           // linear attenuation
  double* mys;         // per component, as densities
  double xraydensity;  // X-ray density (outputs)
  double rvalue;       // R value of the phase (outputs)
  double weightsigma;  // weight sigma of the phase's parameter block
  int32_t nparams;     // the header items
  ParamRecord* params;
  AnisotropyRecord* aniso;  // newest first
  int32_t texture;          // TEXTURE_*
  double GEWICHT;           // mean texture weight
  double gewichtmax;        // maximum of the texture function
  uint8_t pack;             // Pack=: packing flag of the exports
  int32_t peakfirst;        // first peak-parameter column of its reflections
  int32_t peaklast;         // one past the last
  core::DATAlist* scope;    // the phase's detached scope during goal evaluation
  SpharBlock<6> sphar2;
  SpharBlock<15> sphar4;
  SpharBlock<28> sphar6;
  SpharBlock<45> sphar8;
  SpharBlock<66> sphar10;
};

// The SPHAR block of order 2, 4, 6, 8 or 10; order 0 for any other.
SpharView spharview(PhaseRecord* phase, int order);

// ---------------------------------------------------------------------------
// Penalty rows

// One extra least-squares residual: the current value of a double that is to
// be held near zero.
struct PenaltyRow {
  PenaltyRow* next;
  double* value;
  int32_t kind;  // 0 measured at every derivative pass, 1 once per stage
};

// ---------------------------------------------------------------------------
// Shared state of the refinement

extern PhaseRecord* phase1;  // first phase
extern PhaseRecord* phasei;  // phase being worked on
extern AtomRecord* pa;       // atom being worked on

extern int32_t durchlauf;                  // refinement stage 0..3
extern double eps10, eps20, eps30, eps40;  // EPS1..EPS4 the instrument function was built with
extern double eps1, eps2, eps3, eps4;      // EPS1..EPS4 of the current evaluation

extern numeric::QminParam* qminparam;  // rqmin records: structural parameters first
extern int rqmin;
extern int noequiv;  // number of structural parameters

extern model::PeakSet* param;  // one peak per reflection, the background coefficients
extern int rp2, rp3, rp4;      // peaks of kind 2, 3, 4
extern int rpeaks;             // columns of a peak-model derivative row
extern double** tpeaks;        // [rpeaks] the double behind each column
extern double* tu;             // background coefficients refined by the driver

extern float* kettenregel;      // noequiv rows of kettenregeldim
extern int kettenregeldim;      // rpeaks minus the background count
extern int32_t* matrixmultdim;  // per structural parameter: first column, column count
extern float* strafableitung;   // istraf rows of noequiv
extern float* ksableitung;      // mplus rows of noequiv

extern PhaseRecord* localphase;  // phase of the parameter being varied
extern PhaseRecord* lastphase;   // phase varied in the previous evaluation
extern uint8_t linstrafinit;     // kind-1 penalty derivatives still to be measured (1 at start)
extern double ermodfaktor;       // stage factor of the model-error estimate
extern double ermod;             // model-error estimate handed to the minimiser
extern double moderror;

extern ParamRecord* paramglobal;  // global GOAL records, then PARAM records
extern int globalgoals;
extern int globalparams;
extern int goalzahl;      // goal count
extern double* goalwert;  // [goalzahl]
extern uint8_t ifgoal;    // goals are evaluated in this stage
extern double** a;        // [goalzahl] rows of rqmin goal derivatives

extern PenaltyRow* straferst;  // penalty rows, newest first
extern int istraf;             // their count

extern int anisochange;       // parametrisation of anisoinit: 0, 1, 2
extern uint8_t ifmaxgewicht;  // gewicht also tracks the maximum

extern char diagramm[8001];           // diagram file name, or empty
extern char titel[8001];              // run title
extern char atom_name_default[8001];  // default atom name left by the coordinate functions

// ---------------------------------------------------------------------------
// Creation and release

// A new phase with the creation defaults (unit nm, RefMult 1, FMult 0, RP 4,
// BondLevel 1, Theory 0, operators pending, everything else empty or 0), the
// given phase number and goal index; not yet on the list.
PhaseRecord* newphase(int number, int goalindex);
// Appends the phase to the list at phase1.
void appendphase(PhaseRecord* phase);
// The per-kind arrays of a phase once RefMult and FMult are final: Le Bail
// flags (all set when FMult is 0) and the per-component densities and mys.
void phasekinds(PhaseRecord* phase);
// A new atom with the given number, appended to the phase's atom list: name
// pending, TDS kind 0, anisolimit given, per-thread slots and scopes for
// nthreads workers, all none.
AtomRecord* newatom(PhaseRecord* phase, int number, double anisolimit);
// The atom's element array of count zeroed records.
void newelements(AtomRecord* atom, int count);
// Appends one zeroed record to a parameter array and returns it.
ParamRecord* addparam(ParamRecord** array, int32_t* count);
// An F-record with |F|, texture weight in use -1 and, when fmult > 0, its
// component array.
FRecord* newfrecord(double F, int fmult);
// How many F-records newfrecord has made: the structure factor's per-thread
// memos start again when it changed, since the records they know may be gone.
extern std::atomic<uint64_t> frecordsmade;
// A reflection record with its sort key and kind, count 0, no F-records.
ReflectionRecord* newreflection(double sk, int iref);
// count zero-filled records on cache lines of their own (their storage starts
// at a line and is a whole number of lines long), freed with std::free: for
// what the workers write while they compute lines, or read while others
// write, so that no other thread's writes share its lines.
void* linecalloc(size_t count, size_t size);
template <typename T>
T* linecalloc(size_t count) {
  return static_cast<T*>(linecalloc(count, sizeof(T)));
}
// Frees every phase from phase1 on with all it owns; phase1, phasei, pa,
// localphase and lastphase become null.
void freephases();
// Frees one parameter array with its texts.
void freeparams(ParamRecord* params, int count);

}  // namespace crystal
