// Coordinate and vector formula functions.
#include "crystal/vector.hpp"

#include <cmath>
#include <cstring>

#include "core/data.hpp"
#include "core/formula.hpp"
#include "core/nspawn.hpp"
#include "crystal/cell.hpp"
#include "crystal/fcalc.hpp"
#include "crystal/records.hpp"

namespace crystal {
using namespace core;

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

struct Vec {
  double x[3];
};

// Fails the formula that called the function: records why, then leaves
// through the function's error frame.
[[noreturn]] void dataerror(const char* name, const char* why) {
  SetErr(datacontext(), name, static_cast<int>(std::strlen(name)), why);
  dataerr_jmp();
  throw DataJump{};  // a formula function always runs inside its own frame
}

// The same after dropping what the function's own store calls left pending.
[[noreturn]] void clearederror(const char* name, const char* why) {
  ClearErr();
  dataerror(name, why);
}

Vec readvec(const char* name) {
  Vec v;
  for (int i = 0; i < 3; ++i) {
    const int idx = i + 1;
    v.x[i] = GetIndexVar(name, 1, &idx);
  }
  return v;
}

void writevec(const char* name, const Vec& v) {
  for (int i = 0; i < 3; ++i) {
    const int idx = i + 1;
    SetIndexVar(name, 1, &idx, v.x[i]);
  }
}

Vec minus(const Vec& a, const Vec& b) {
  return {{a.x[0] - b.x[0], a.x[1] - b.x[1], a.x[2] - b.x[2]}};
}
Vec cross(const Vec& a, const Vec& b) {
  return {{a.x[1] * b.x[2] - a.x[2] * b.x[1], a.x[2] * b.x[0] - a.x[0] * b.x[2],
           a.x[0] * b.x[1] - a.x[1] * b.x[0]}};
}
double dot(const Vec& a, const Vec& b) {
  return a.x[0] * b.x[0] + a.x[1] * b.x[1] + a.x[2] * b.x[2];
}
Vec apply(const double M[3][3], const Vec& v) {
  Vec r;
  for (int i = 0; i < 3; ++i) r.x[i] = M[i][0] * v.x[0] + M[i][1] * v.x[1] + M[i][2] * v.x[2];
  return r;
}

bool onworker() { return threadid() >= 0; }

// Cell and metric of the current phase up to date. A worker thread reads the
// stored values only: the set-up brings them up to date before any parallel
// section.
void metricuptodate() {
  if (!onworker()) getmass();
}

double lengthfactor(double angstroem) { return phasei->unit == UNIT_ANGSTROEM ? angstroem : 1.0; }

// The fractional coordinates of a Cartesian vector of the current phase.
Vec fractional(const Vec& v) {
  const double* u = phasei->tri;  // u11, u12, u13, u22, u23, u33
  const double f = lengthfactor(0.1);
  return {{(u[0] * v.x[0] + u[1] * v.x[1] + u[2] * v.x[2]) * f, (u[3] * v.x[1] + u[4] * v.x[2]) * f,
           u[5] * v.x[2] * f}};
}

// X, Y and Z keep the vector's name for the atom being named; only the main
// thread writes that shared text.
double onecoordinate(const char* vector, int c) {
  metricuptodate();
  if (!onworker()) {
    std::strncpy(atom_name_default, vector, sizeof atom_name_default - 1);
    atom_name_default[sizeof atom_name_default - 1] = 0;
  }
  return fractional(readvec(vector)).x[c];
}

// Rotation matrix of D and D2: angle (degrees) about the unit axis n.
void axisrotation(const Vec& n, double degrees, double M[3][3]) {
  const double c = std::cos(degrees * kDegree), s = std::sin(degrees * kDegree), t = 1.0 - c;
  const double nx = n.x[0], ny = n.x[1], nz = n.x[2];
  M[0][0] = nx * nx * t + c;
  M[0][1] = nx * ny * t + nz * s;
  M[0][2] = nx * nz * t - ny * s;
  M[1][0] = nx * ny * t - nz * s;
  M[1][1] = ny * ny * t + c;
  M[1][2] = ny * nz * t + nx * s;
  M[2][0] = nx * nz * t + ny * s;
  M[2][1] = ny * nz * t - nx * s;
  M[2][2] = nz * nz * t + c;
}

// Rotation matrix of T and T2 from three Euler angles (degrees).
void eulerrotation(const double phi[3], double R[3][3]) {
  const double c1 = std::cos(phi[0] * kDegree), s1 = std::sin(phi[0] * kDegree);
  const double c2 = std::cos(phi[1] * kDegree), s2 = std::sin(phi[1] * kDegree);
  const double c3 = std::cos(phi[2] * kDegree), s3 = std::sin(phi[2] * kDegree);
  R[0][0] = c1 * c3 - s1 * c2 * s3;
  R[0][1] = s1 * c3 + c1 * c2 * s3;
  R[0][2] = s2 * s3;
  R[1][0] = -s1 * c2 * c3 - c1 * s3;
  R[1][1] = -s1 * s3 + c1 * c2 * c3;
  R[1][2] = s2 * c3;
  R[2][0] = s1 * s2;
  R[2][1] = -c1 * s2;
  R[2][2] = c2;
}

// Writes src moved by M about the point p and shifted by t (r = p + M (v - p) + t)
// into dst, for every vector or pair of arguments from first on.
void moveall(const char* const* args, int first, int nargs, bool pairs, const double M[3][3],
             const Vec& p, const Vec& t) {
  for (int i = first; i < nargs; i += pairs ? 2 : 1) {
    const Vec v = readvec(args[i]);
    Vec r = apply(M, minus(v, p));
    for (int c = 0; c < 3; ++c) r.x[c] += p.x[c] + t.x[c];
    writevec(pairs ? args[i + 1] : args[i], r);
  }
}

}  // namespace

double ifphase(const char*, const char* const* args, int) {
  return phasei->name != nullptr && std::strcmp(phasei->name, args[0]) == 0 ? 1.0 : 0.0;
}

double set(const char*, const char* const* args, int) {
  Vec v;
  for (int i = 0; i < 3; ++i) v.x[i] = Wert(args[i + 1]);
  writevec(args[0], v);
  return 1.0;
}

double diffvec(const char*, const char* const* args, int) {
  writevec(args[2], minus(readvec(args[1]), readvec(args[0])));
  return 1.0;
}

double normvec(const char* name, const char* const* args, int) {
  Vec a = readvec(args[0]);
  const double len = std::sqrt(dot(a, a));
  if (len < 1.1920928955078125e-7)
    clearederror(name, "the vector has no direction (length below 2^-23)");
  for (double& c : a.x) c /= len;
  writevec(args[1], a);
  return 1.0;
}

double crossprod(const char*, const char* const* args, int) {
  const Vec a = readvec(args[0]), b = readvec(args[1]), c = readvec(args[2]);
  Vec d = cross(minus(b, a), minus(c, b));
  for (int i = 0; i < 3; ++i) d.x[i] += b.x[i];
  writevec(args[3], d);
  return 1.0;
}

double skalpro(const char*, const char* const* args, int) {
  return dot(readvec(args[0]), readvec(args[1]));
}

double distance(const char*, const char* const* args, int) {
  const Vec d = minus(readvec(args[0]), readvec(args[1]));
  return std::sqrt(dot(d, d));
}

double angle(const char* name, const char* const* args, int nargs) {
  if (nargs > 4) dataerror(name, "at most four vectors");
  Vec u, w, axis{};
  if (nargs == 2) {
    u = readvec(args[0]);
    w = readvec(args[1]);
  } else if (nargs == 3) {
    const Vec b = readvec(args[1]);
    u = minus(readvec(args[0]), b);
    w = minus(readvec(args[2]), b);
  } else {
    const Vec a = readvec(args[0]), b = readvec(args[1]), c = readvec(args[2]),
              d = readvec(args[3]);
    axis = minus(b, c);
    u = cross(minus(b, a), axis);
    w = cross(axis, minus(d, c));
  }
  if (dot(u, u) < 4.930380657631324e-26 || dot(w, w) < 4.930380657631324e-26)
    dataerror(name, "a vector or plane of the angle has no direction");
  const Vec n = cross(u, w);
  double y = std::sqrt(dot(n, n));
  // A torsion takes the sign of its turn about the middle bond; a zero sine
  // stays +0 so that the torsion lies in (-180, 180].
  if (nargs == 4 && dot(n, axis) < 0 && y > 0) y = -y;
  return std::atan2(y, dot(u, w)) / kDegree;
}

double XYZ(const char*, const char* const* args, int) {
  const Vec f = fractional(readvec(args[0]));
  // On a worker thread the coordinates are not recorded: the variables x, y,
  // z are the atom's, shared by every reflection.
  if (onworker()) return 1.0;
  SetVar("z", f.x[2]);
  SetVar("y", f.x[1]);
  SetVar("x", f.x[0]);
  return 1.0;
}

double X(const char*, const char* const* args, int) { return onecoordinate(args[0], 0); }
double Y(const char*, const char* const* args, int) { return onecoordinate(args[0], 1); }
double Z(const char*, const char* const* args, int) { return onecoordinate(args[0], 2); }

double setgitter(const char* name, const char* const* args, int nargs) {
  metricuptodate();
  double x[3];
  if (std::strcmp(name, "setgitter") == 0) {
    for (int c = 0; c < 3; ++c) x[c] = Wert(args[c + 1]);
  } else if (std::strcmp(name, "setindex") == 0) {
    if (nargs > 3) dataerror(name, "at most a vector, a site and a centring translation");
    const double i = std::floor(Wert(args[1]) + 0.5) - 1;
    const double j = nargs == 3 ? std::floor(Wert(args[2]) + 0.5) - 1 : 0.0;
    if (pa == nullptr || pa->wyckoff == nullptr || !(i >= 0 && i < pa->wyckoff->count))
      dataerror(name, "no such site of the atom's Wyckoff position");
    if (!(j >= 0 && j < phasei->ncentring))
      dataerror(name, "no such centring translation of the phase");
    const auto& site = pa->sites[static_cast<int>(i)];
    const int t = static_cast<int>(j);
    const double s[3] = {site.x[t], site.y[t], site.z[t]};
    for (int c = 0; c < 3; ++c) x[c] = s[c] - std::floor(s[c]);
  } else {
    dataerror(name, "called by a name it does not serve");
  }
  const double* u = phasei->tri;
  Vec v;
  v.x[2] = x[2] / u[5];
  v.x[1] = (x[1] - u[4] * v.x[2]) / u[3];
  v.x[0] = (x[0] - u[2] * v.x[2] - u[1] * v.x[1]) / u[0];
  for (double& c : v.x) c *= lengthfactor(10.0);
  writevec(args[0], v);
  return 1.0;
}

double cpxyz(const char* name, const char* const* args, int nargs) {
  if (nargs % 2 != 0) clearederror(name, "source and destination vectors come in pairs");
  for (int i = 0; i < nargs; i += 2) {
    const Vec v = readvec(args[i]);
    const char* dst = args[i + 1];
    if (dst[0] != '(') {
      writevec(dst, v);
      continue;
    }
    const size_t len = std::strlen(dst);
    if (dst[len - 1] != ')') clearederror(name, "a list of vectors must end with )");
    char vector[8001];
    for (const char* p = dst + 1;; ++p) {
      const size_t n = std::strcspn(p, ",)");
      if (n == 0 || n > 8000)
        clearederror(name, "a vector name of the list is empty or longer than 8000 characters");
      std::memcpy(vector, p, n);
      vector[n] = 0;
      writevec(vector, v);
      p += n;
      if (*p == ')') break;
    }
  }
  return 1.0;
}

double dreh(const char* name, const char* const* args, int nargs) {
  const bool pairs = std::strcmp(name, "D2") == 0;
  if (pairs && nargs % 2 == 0) clearederror(name, "source and destination vectors come in pairs");
  const Vec p = readvec(args[0]);
  const Vec a = minus(readvec(args[1]), p);
  const double len2 = dot(a, a);
  if (len2 < 1.4210854715202004e-14) clearederror(name, "the two points of the axis coincide");
  const double len = std::sqrt(len2);
  const Vec n{{a.x[0] / len, a.x[1] / len, a.x[2] / len}};
  double M[3][3];
  axisrotation(n, Wert(args[2]), M);
  moveall(args, 3, nargs, pairs, M, p, Vec{});
  return 1.0;
}

double trans(const char* name, const char* const* args, int nargs) {
  const bool pairs = std::strcmp(name, "T2") == 0;
  if (pairs && nargs % 2 != 0) clearederror(name, "source and destination vectors come in pairs");
  Vec t;
  double phi[3];
  for (int c = 0; c < 3; ++c) t.x[c] = Wert(args[c]);
  for (int c = 0; c < 3; ++c) phi[c] = Wert(args[3 + c]);
  double R[3][3];
  eulerrotation(phi, R);
  moveall(args, 6, nargs, pairs, R, Vec{}, t);
  return 1.0;
}

const FormulaFunction vectorfunctions[] = {
    {"PHASE", 1, ifphase},
    {"set", 4, set},
    {"cross", 4, crossprod},
    {"diffvec", 3, diffvec},
    {"normvec", 2, normvec},
    {"skalpro", 2, skalpro},
    {"distance", 2, distance},
    {"angle", -2, angle},
    {"setgitter", 4, setgitter},
    {"cpXYZ", -2, cpxyz},
    {"F", -3, fuser},
    {"T", -7, trans},
    {"T2", -8, trans},
    {"D", -4, dreh},
    {"D2", -5, dreh},
    {"XYZ", 1, XYZ},
    {"X", 1, X},
    {"Y", 1, Y},
    {"Z", 1, Z},
};
const int32_t nvectorfunctions = sizeof vectorfunctions / sizeof vectorfunctions[0];
const FormulaFunction setindexfunction = {"setindex", -2, setgitter};

}  // namespace crystal
