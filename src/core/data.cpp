// Parameter store: placeholder bodies until the store is built; every entry
// ends with an internal error so that nothing silently succeeds.
#include "core/data.hpp"

#include "core/fatal.hpp"

namespace {
[[noreturn]] void todo() { internal_error("store not built yet", "obj/data", 0); }
}  // namespace

int newDATAlist() { todo(); }
int freeDATAlist() { todo(); }
DATAlist* pushDATAlist() { todo(); }
void popDATAlist(DATAlist*) { todo(); }
void DelAll() { todo(); }
int DATAlistLevel() { todo(); }
int DATAlevel() { todo(); }
void setrekart(int) { todo(); }
int getrekart() { todo(); }
double GetVar(const char*) { todo(); }
int GetIntVar(const char*) { todo(); }
void SetVar(const char*, double) { todo(); }
void DelVar(const char*) { todo(); }
void GetStrVar(const char*, int, char*) { todo(); }
void SetStrVar(const char*, const char*) { todo(); }
double GetIndexVar(const char*, int, const int*) { todo(); }
int GetIndexIntVar(const char*, int, const int*) { todo(); }
void SetIndexVar(const char*, int, const int*, double) { todo(); }
void DelIndexVar(const char*, int, const int*) { todo(); }
void GetIndexStrVar(const char*, int, const int*, int, char*) { todo(); }
void SetIndexStrVar(const char*, int, const int*, const char*) { todo(); }
void SetUserFkt(const char*, int, DataCallback) { todo(); }
void SetStrFkt(const char*, int, const char*) { todo(); }
void DelFkt(const char*, int) { todo(); }
double Wert(const char*) { todo(); }
bool ifErr() { todo(); }
const char* GetErr(int) { todo(); }
void NextErr() { todo(); }
void ClearErr() { todo(); }
void dataerr_newjmp() { todo(); }
void dataerr_newhandler(void (*)()) { todo(); }
void dataerr_oldjmp() { todo(); }
void dataerr_jmp() { todo(); }
int ondataLevel() { todo(); }
void dataerr_printexit() { todo(); }
int ergibt(const char*) { todo(); }
const char* SetComment(const char*) { todo(); }
void SetStrInput(const char*) { todo(); }
void GetItem(FILE*, int, char*) { todo(); }
void GetList(FILE*, int, char*) { todo(); }
void GetData(FILE*, const char*) { todo(); }
void save(FILE*) { todo(); }
void dump(FILE*) { todo(); }
void restore(FILE*) { todo(); }
const char* unwhite(const char*) { todo(); }
void white(char*) { todo(); }
void heapsortid(int, void*, bool (*)(int, int, void*), void (*)(int, int, void*)) { todo(); }
void initDATAthreads() { todo(); }
void exitDATAthreads() { todo(); }
void totalfree() { todo(); }
void testinit() { todo(); }
void stdinit1(StdFunction, const char*, int) { todo(); }
