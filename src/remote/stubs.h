// Block-side stubs of the remote functions: each logs its arguments, makes
// the call over the link and hands back what the solver returned. A failed
// call is reported through the link's error callback, never as a result;
// when no link could be started the stub returns at once (the callback has
// already had -1).
#pragma once

#include <cstdint>

// Room the caller of zvUpdate must give: the most outputs a solver returns.
#define ZVUPDATE_CAPACITY 128
// Room the callers of the other stubs must give each output array (for a
// text array: this many rows of the row length they pass).
#define REMOTE_ARRAY_CAPACITY 128

// ---- called by the block ----
void slOpen(void);
// Sends the product first. Returns the solver's Simulation Duration
// (negative when unknown; -1 after a failed call).
double zvStartup(const char* fileName, const char* productName);
// 0: no such file; -1: product mismatch; -2: not a 6.1 file; else usable.
// 0 after a failed call.
int32_t zvFileCheck(const char* fileName, const char* product, const char* version);
// values must hold ZVUPDATE_CAPACITY doubles, whatever the port width
// count is; a return with more fails the call and writes nothing past them.
void zvUpdate(double* values, int32_t count);
// Sends doneSim and adv and replaces them with the solver's values.
void zvAdvance(double DeltaSim, const double* inputs, int32_t n, int32_t* doneSim, int32_t* adv);
// zvAdvance of a step. When the link pipelines steps, the next step's
// zvUpdate call goes out in the same write, and that zvUpdate then only
// takes its return; any other call takes and drops that return first.
void zvAdvanceThenUpdate(double DeltaSim, const double* inputs, int32_t n, int32_t* doneSim,
                         int32_t* adv);
void slClose(int32_t sl);
void zvCheckBack(void);

// Logs the failure and calls the error callback with 1.
void reportCallError(const char* name);

// ---- the rest of the catalogue (nothing in the block calls these) ----
// Every parameter by reference; each text is followed by its length (for a
// text array, its row length). Output arrays need REMOTE_ARRAY_CAPACITY
// elements. Integer results are returned; 0 after a failed call.
int32_t ZVFLU(const char* fileName, const int32_t* fileNameLength, const char* codeName,
              const int32_t* codeNameLength);
void ZVIMAN(void);
void ZVISETMODE(const int32_t* value);
int32_t BCDZVI(float* p1, float* p2, float* p3, float* a4, float* p5, float* p6,
               const int32_t* iter, const int32_t* reg);
int32_t BCDZVP(float* p1, float* p2, float* p3, float* p4, float* a5, const int32_t* iter,
               const int32_t* reg);
// Asks ZVNUMSPEC for the number of mass fractions first; massFracs must
// hold that many, and more than REMOTE_ARRAY_CAPACITY fails the call.
int32_t BCTRANSFER(const int32_t* iter, const int32_t* reg, const float* PF, const float* TF,
                   const float* UF, const float* massFracs);
int32_t TIMEINTEGRATIONAUX(const int32_t* CaseNum, const int32_t* iter, const float* DeltaT,
                           const int32_t* Flag);
int32_t GETCFDZONES(int32_t* zoneCount, int32_t* zoneIds, float* zoneValues, char* names1,
                    const int32_t* rowLength1, char* names2, const int32_t* rowLength2);
int32_t GETCFDSPECIES(int32_t* speciesCount, char* names, const int32_t* rowLength);
void ZVIWRP(void);
int32_t ZVNUMSPEC(void);
